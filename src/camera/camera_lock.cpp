// Storage of the camera lock.
#include "camera/camera_lock.h"

SRWLOCK CameraLock::s_lock = SRWLOCK_INIT;
