// The node callbacks LabVIEW calls around a node's life (VReserve, VUnreserve, VAbort) and the
// instance data they keep in the node's cell.
#include <windows.h>

#include <new>

#include "camera/binding.h"
#include "host/node_instance.h"
#include "recording/push_file.h"
#include "vorlabview.h"

namespace {

// A camera registered through the node: the registration's serial tells it from a later one.
struct TiedCamera {
  void* hCam;
  uint64_t serial;
};

// What a node's cell holds once VReserve has run.
struct NodeInstance {
  HANDLE abortEvent;          // manual-reset; set by VAbort
  TiedCamera* tied;           // cameras to clean up when the node is unreserved
  uint32_t tiedCount;
  uint32_t tiedCapacity;
};

NodeInstance* NodeOf(void** instance) noexcept {
  return instance != nullptr ? static_cast<NodeInstance*>(*instance) : nullptr;
}

}  // namespace

HANDLE NodeAbortEvent(void** instance) noexcept {
  const NodeInstance* node = NodeOf(instance);
  return node != nullptr ? node->abortEvent : nullptr;
}

bool TieCameraToNode(void** instance, void* hCam, uint64_t serial) noexcept {
  NodeInstance* node = NodeOf(instance);
  if (node == nullptr) return false;
  for (uint32_t i = 0; i < node->tiedCount; ++i) {
    if (node->tied[i].hCam == hCam) {
      node->tied[i].serial = serial;  // the same camera again through the node: its newest registration
      return true;
    }
  }
  if (node->tiedCount == node->tiedCapacity) {
    const uint32_t capacity = node->tiedCapacity == 0 ? 4 : node->tiedCapacity * 2;
    TiedCamera* tied = new (std::nothrow) TiedCamera[capacity];
    if (tied == nullptr) return false;
    for (uint32_t i = 0; i < node->tiedCount; ++i) tied[i] = node->tied[i];
    delete[] node->tied;
    node->tied = tied;
    node->tiedCapacity = capacity;
  }
  node->tied[node->tiedCount++] = TiedCamera{hCam, serial};
  return true;
}

/***********************************************************************
 *      VReserve (vorlabview.16)
 *
 * Node callback: makes the node's instance data (an abort event) when the VI starts.
 *
 * PARAMS
 *  instance [I/O] the node's instance data cell; may be null, and is left alone when it is set
 *
 * RETURNS
 *  0.
 */
extern "C" int32_t WINAPI VReserve(void** instance) {
  if (instance == nullptr || *instance != nullptr) return 0;
  NodeInstance* node = new (std::nothrow) NodeInstance{CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr, 0, 0};
  if (node != nullptr && node->abortEvent == nullptr) {
    // Without an event the node simply cannot be aborted; its waits work as without callbacks.
    delete node;
    node = nullptr;
  }
  *instance = node;
  return 0;
}

/***********************************************************************
 *      VUnreserve (vorlabview.17)
 *
 * Node callback: the VI that ran the node has stopped, normally or by Abort.  Each camera
 * registered through the node with VInitLibraryEx, unless it was cleaned up already, has its
 * waits ended, the recording it owns closed (the file complete) and is cleaned up as by
 * Vcleanup.  Then what VReserve made is freed and the cell cleared.
 *
 * PARAMS
 *  instance [I/O] the node's instance data cell; may be null or empty
 *
 * RETURNS
 *  0.
 */
extern "C" int32_t WINAPI VUnreserve(void** instance) {
  NodeInstance* node = NodeOf(instance);
  if (node == nullptr) return 0;
  *instance = nullptr;
  for (uint32_t i = 0; i < node->tiedCount; ++i) {
    const TiedCamera& camera = node->tied[i];
    if (!EndWaitsOfRegistration(camera.hCam, camera.serial)) continue;  // cleaned up already
    CloseRecordingOf(camera.hCam);
    Vcleanup(camera.hCam);
  }
  delete[] node->tied;
  CloseHandle(node->abortEvent);
  delete node;
  return 0;
}

/***********************************************************************
 *      VAbort (vorlabview.18)
 *
 * Node callback: the VI is aborted while the node's call is in progress.  Runs on another
 * thread than the call, so it only signals: a wait of that node ends with 0x800A2010.
 *
 * PARAMS
 *  instance [I] the node's instance data cell; may be null or empty
 *
 * RETURNS
 *  0.
 */
extern "C" int32_t WINAPI VAbort(void** instance) {
  if (HANDLE abortEvent = NodeAbortEvent(instance)) SetEvent(abortEvent);
  return 0;
}
