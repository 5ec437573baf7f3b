/* vorlabview.h: the exports of vorlabview.dll, for LabVIEW's Import Shared Library wizard
 * and for C callers.  Every function but SetLVRTModule returns an error code, 0 for success;
 * VGetErrorText turns any code into text.  All functions use the standard (WINAPI) calling
 * convention. */
#ifndef VORLABVIEW_H
#define VORLABVIEW_H

#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* LabVIEW array handle: a pointer to a pointer to a block that starts with one 32-bit size
 * per dimension, followed by the elements.  The caller sizes the array. */
typedef void **VLVArrayHandle;

/* LabVIEW string handle: a pointer to a pointer to a block holding a signed 32-bit count
 * followed by that many characters, without a terminator. */
typedef struct VLVString {
  int32_t cnt;
  char str[1];
} VLVString, *VLVStringPtr, **VLVStringHandle;

/* Camera families. */
#define VOR_FAMILY_LANTICAM 1
#define VOR_FAMILY_TORNIO   2
#define VOR_FAMILY_QD4      3

uint32_t WINAPI VInitLibrary(void *hCam, int32_t family);                                      /* 1 */
uint32_t WINAPI VAllocateBuffer(void *hCam, int16_t *bufNr, uint32_t size, uint32_t unused,
                                uint32_t *event);                                               /* 2 */
uint32_t WINAPI VGetImageFromCamRam(void *hCam, uint16_t segment, uint32_t image, uint32_t unused,
                                    int16_t bufNr, VLVArrayHandle image1D);                     /* 3 */
uint32_t WINAPI VGetImageFromBuffer(void *hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                    uint16_t bitsPerPixel, VLVArrayHandle image1D);             /* 4 */
uint32_t WINAPI Vcleanup(void *hCam);                                                           /* 5 */
uint32_t WINAPI VGetErrorText(uint32_t code, VLVStringHandle text);                             /* 6 */
uint32_t WINAPI VGetImageFromBuffer2D(void *hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                      uint16_t bitsPerPixel, VLVArrayHandle image2D);           /* 7 */
uint32_t WINAPI VGetImageExFromCamRam(void *hCam, uint16_t segment, uint32_t firstImage,
                                      uint32_t lastImage, int16_t bufNr, uint16_t width,
                                      uint16_t height, uint16_t bitsPerPixel,
                                      VLVArrayHandle image1D);                                  /* 8 */
uint32_t WINAPI VWaitForBuffers(void *hCam, int16_t *bufNr, uint32_t timeoutMs);                /* 9 */
uint32_t WINAPI VFreeBuffer(void *hCam, int32_t bufNr);                                         /* 10 */
uint32_t WINAPI VInitPushFile(void *hCam, const char *fileName, uint16_t width, uint16_t height,
                              uint16_t bitsPerPixel, int32_t mode, int32_t openValue);          /* 11 */
uint32_t WINAPI VPushImageToFile(void *hCam, int16_t bufNr);                                    /* 12 */
uint32_t WINAPI VClosePushFile(void *hCam);                                                     /* 13 */
void     WINAPI SetLVRTModule(HMODULE runtimeModule);                                           /* 14 */

#ifdef __cplusplus
}
#endif

#endif /* VORLABVIEW_H */
