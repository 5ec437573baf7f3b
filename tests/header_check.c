/* The public header as a C caller sees it: every prototype, with the types LabVIEW passes.  It
 * also compiles with no system include path at all. */
#include "vorlabview.h"

int main(void) {
  int16_t number = -1;
  uint32_t event = 0;
  VLVStringHandle text = 0;
  VLVArrayHandle image = 0;
  (void)VInitLibrary((void *)0, VOR_FAMILY_QD4);
  (void)VAllocateBuffer((void *)0, &number, 64u, 0u, &event);
  (void)VGetImageFromCamRam((void *)0, 0, 1u, 0u, number, image);
  (void)VGetImageFromBuffer((void *)0, number, 8, 8, 8, image);
  (void)Vcleanup((void *)0);
  (void)VGetErrorText(0u, text);
  (void)VGetImageFromBuffer2D((void *)0, number, 8, 8, 8, image);
  (void)VGetImageExFromCamRam((void *)0, 0, 1u, 1u, number, 8, 8, 8, image);
  (void)VWaitForBuffers((void *)0, &number, 0u);
  (void)VFreeBuffer((void *)0, number);
  (void)VInitPushFile((void *)0, "run1", 8, 8, 8, 0, 10);
  (void)VPushImageToFile((void *)0, number);
  (void)VClosePushFile((void *)0);
  SetLVRTModule((void *)0);
  {
    int32_t pending = 0;
    void *cell = 0;
    (void)VReserve(&cell);
    (void)VInitLibraryEx((void *)0, VOR_FAMILY_TORNIO, &cell);
    (void)VWaitForBuffersEx((void *)0, &number, VOR_WAIT_FOREVER, &pending, &cell);
    (void)VAbort(&cell);
    (void)VUnreserve(&cell);
    (void)VCancelWait((void *)0);
  }
  {
    uint64_t counters[VOR_STAT_COUNT];
    enum VorCameraStat starved = VOR_STAT_STARVED;
    counters[starved] = 0u;
    (void)VGetCameraStats((void *)0, counters, (int32_t)VOR_STAT_COUNT);
    (void)VGetState(text);
    if (counters[starved] != 0u) return 2;
  }
  return number == (int16_t)VOR_ERR_WAIT_CANCELLED ? 1 : 0;
}
