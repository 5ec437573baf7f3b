// The binding to the LabVIEW run-time: the module handle named by the host.
#include "host/labview_runtime.h"

#include "vorlabview.h"

namespace {

// Set only by SetLVRTModule; null lets the run-time be searched for in the process.
HMODULE volatile s_runtimeModule = nullptr;

}  // namespace

/***********************************************************************
 *      SetLVRTModule (vorlabview.14)
 *
 * Names the LabVIEW run-time module; null restores the search in the process.
 *
 * PARAMS
 *  runtimeModule [I] module handle of the run-time
 */
extern "C" void WINAPI SetLVRTModule(HMODULE runtimeModule) {
  s_runtimeModule = runtimeModule;
}
