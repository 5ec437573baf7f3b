// The instance data of a LabVIEW node that names the node callbacks: what VReserve makes in the
// node's cell, and what the exports that take the cell do with it.
#pragma once

#include <windows.h>
#include <stdint.h>

// The node's abort event (set by VAbort), or null for a null or empty cell.
HANDLE NodeAbortEvent(void** instance) noexcept;

// Ties a camera's registration (`serial`) to the node, so that its Unreserve cleans the camera
// up.  False for a null or empty cell, or when there is no memory for the tie.  A node's cell
// is used by one call at a time (LabVIEW gives each clone its own), so this takes no lock.
bool TieCameraToNode(void** instance, void* hCam, uint64_t serial) noexcept;
