// Image retrieval: copies of filled buffers into LabVIEW arrays, and QD4 camera-memory reads.
#include <windows.h>
#include <string.h>

#include "camera/camera_state.h"
#include "camera/camera_stats.h"
#include "camera/image_copy.h"
#include "camera/message_box.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "host/labview_runtime.h"
#include "vorlabview.h"

namespace {

// Bytes per pixel: above 8 bits per pixel, two.
uint64_t PixelWidth(uint16_t bitsPerPixel) noexcept { return bitsPerPixel > 8 ? 2 : 1; }

// A LabVIEW array block: one 32-bit size per dimension, then the elements.
struct ArrayTarget {
  uint8_t* elements;
  uint64_t capacity;  // bytes the elements may take: product of the sizes times the pixel width
};

// The array's element bytes: what its dimension sizes hold at the pixel width, and no more than
// its block really has when LabVIEW's memory manager can tell (an array of another element
// type than the bits per pixel imply has a smaller block than its sizes suggest).  False for a
// null handle, or one LabVIEW's memory manager does not know (an Array Data Pointer where the
// node should pass the handle): it is refused before anything reads through it.
bool TargetOf(VLVArrayHandle array, int dimensions, uint64_t pixelWidth, ArrayTarget* target) noexcept {
  if (array == nullptr) return false;
  uint64_t blockSize = 0;
  const HandleCheck check = RuntimeCheckArray(array, &blockSize);
  if (check == HandleCheck::kNotAHandle || *array == nullptr) return false;
  const int32_t* sizes = static_cast<const int32_t*>(*array);
  uint64_t elements = 1;
  for (int d = 0; d < dimensions; ++d) elements *= sizes[d] > 0 ? static_cast<uint64_t>(sizes[d]) : 0;
  uint64_t capacity = elements * pixelWidth;
  if (check == HandleCheck::kSized) {
    const uint64_t header = 4 * static_cast<uint64_t>(dimensions);
    const uint64_t room = blockSize > header ? blockSize - header : 0;
    if (room < capacity) capacity = room;
  }
  *target = {static_cast<uint8_t*>(*array) + 4 * dimensions, capacity};
  return true;
}

// What a copy reads: a buffer's memory and registered size, taken under the registry lock.
struct SourceBuffer {
  const void* picPtr;
  uint64_t size;
};

// Copies `count` bytes of the buffer, held by `use`, into the array, or refuses when either is
// too small; a copy made counts in the camera's counters.
ErrorCode CopyIntoArray(const SourceBuffer& source, uint64_t count, const ArrayTarget& target, RecordUse* use,
                        CameraStats* stats) noexcept {
  if (count > source.size || count > target.capacity) return kBufferTooSmall;
  CopyThread* thread = GuardCopy(use);
  CopyImageBytes(target.elements, source.picPtr, static_cast<size_t>(count));
  UnguardCopy(thread);
  CountCopy(stats, thread, count);
  return kOk;
}

struct ImageLines {
  const char* error;
  const char* done;
  const char* error2;
};

constexpr ImageLines kFromBuffer = {"VGetImageFromBuffer error\r\n", "VGetImageFromBuffer done Bufnr %d\r\n",
                                    "VGetImageFromBuffer error 2\r\n"};
constexpr ImageLines kFromBuffer2D = {"VGetImageFromBuffer2D error\r\n", "VGetImageFromBuffer2D done Bufnr %d\r\n",
                                      "VGetImageFromBuffer2D error 2\r\n"};
constexpr ImageLines kFromCamRam = {"VGetImageFromCamRam error\r\n", "VGetImageFromCamRam done Bufnr %d\r\n",
                                    "VGetImageFromCamRam error 2\r\n"};
constexpr ImageLines kFromCamRamEx = {"VGetImageFromCamRamEx error\r\n", "VGetImageFromCamRamEx done Bufnr %d\r\n",
                                      "VGetImageFromCamRamEx error 2\r\n"};

// The one exit of the image exports: the line that goes with the result, and the result.
ErrorCode LogAndReturn(ErrorCode code, const char* line, int bufNr = 0) noexcept {
  if (LogEnabled()) LogFormat(code, line, bufNr);
  return code;
}

// Under the registry lock: takes a use of the camera's buffer, so it is not given back to the
// SDK before the copy is done.  Waits while a re-allocation holds it.
bool UseBuffer(RegistryReadLock& lock, void* hCam, int16_t bufNr, RecordUse* use, SourceBuffer* source) noexcept {
  BufferRecord* record = lock.UsableBuffer(hCam, bufNr);
  if (record == nullptr) return false;
  use->Take(record);
  *source = SourceBuffer{record->picPtr, record->size};
  return true;
}

// The two exports that copy an already filled buffer.
ErrorCode CopyFilledBuffer(const ImageLines& lines, int dimensions, void* hCam, int16_t bufNr, uint16_t width,
                           uint16_t height, uint16_t bitsPerPixel, VLVArrayHandle array) noexcept {
  const uint64_t pixelWidth = PixelWidth(bitsPerPixel);
  const uint64_t count = uint64_t{width} * height * pixelWidth;
  ArrayTarget target;
  if (!TargetOf(array, dimensions, pixelWidth, &target)) return LogAndReturn(kWrongParameter, lines.error);
  // The copy writes caller memory, which may fault: it runs under a use of the buffer, never
  // under the lock.
  RecordUse buffer;
  SourceBuffer source = {nullptr, 0};
  CameraStats* stats = nullptr;  // kept by the buffer's use
  ErrorCode result = kOk;
  {
    RegistryReadLock lock;
    const BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    BufferRecord* record = nullptr;
    if (registration == nullptr) {
      result = kOptionNotAvailable;
    } else if ((record = lock.UsableBuffer(hCam, bufNr)) == nullptr || record->picPtr == nullptr) {
      result = kNoBuffer;
    } else {
      source = SourceBuffer{record->picPtr, record->size};
      stats = registration->stats;
      buffer.Take(record);
    }
  }
  if (result == kOk) result = CopyIntoArray(source, count, target, &buffer, stats);
  buffer.End();
  if (result == kOptionNotAvailable) return LogAndReturn(result, lines.error);
  return result == kOk ? LogAndReturn(kOk, lines.done, bufNr) : LogAndReturn(result, lines.error2);
}

// Cancels what a QD4 camera still has pending.
void CancelPendingImages(const Qd4EntryPoints& qd4, void* hCam) noexcept {
  if (qd4.VOR_GetPendingBuffer == nullptr) return;
  int32_t pending = 0;
  qd4.VOR_GetPendingBuffer(hCam, &pending);
  if (pending > 0 && qd4.VOR_CancelImages != nullptr) qd4.VOR_CancelImages(hCam);
}

// What a camera-memory read asks for: the image range and, for the Ex form, the copy's size.
struct CamRamRequest {
  uint16_t segment;
  uint32_t firstImage;
  uint32_t lastImage;
  int16_t bufNr;
  bool extended;  // VOR_GetImageEx with width, height and bits per pixel
  uint16_t width;
  uint16_t height;
  uint16_t bitsPerPixel;
};

// The two exports that first have a QD4 camera read an image into a buffer.  The buffer is in
// use from before the read until the copy is done, so it cannot be given back in between.
ErrorCode ReadFromCamRam(const ImageLines& lines, void* hCam, const CamRamRequest& request,
                         VLVArrayHandle array) noexcept {
  // The plain read copies the whole buffer into an array counted in 16-bit elements.
  const uint64_t pixelWidth = request.extended ? PixelWidth(request.bitsPerPixel) : 2;
  ArrayTarget target;
  if (!TargetOf(array, 1, pixelWidth, &target)) return LogAndReturn(kWrongParameter, lines.error);

  RecordUse camera;
  RecordUse buffer;
  SourceBuffer source = {nullptr, 0};
  Qd4EntryPoints qd4 = {};
  CameraStats* stats = nullptr;  // kept by the camera's use, then by the buffer's
  {
    RegistryReadLock lock;
    BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration != nullptr && registration->family == kQd4) {
      qd4 = EntryPoints().qd4;
      stats = registration->stats;
      camera.Take(registration);
      UseBuffer(lock, hCam, request.bufNr, &buffer, &source);
    }
  }
  if (!camera || (request.extended ? qd4.VOR_GetImageEx == nullptr : qd4.VOR_GetImage == nullptr)) {
    return LogAndReturn(kOptionNotAvailable, lines.error);
  }

  CancelPendingImages(qd4, hCam);
  const ErrorCode read =
      request.extended
          ? qd4.VOR_GetImageEx(hCam, request.segment, request.firstImage, request.lastImage, request.bufNr,
                               request.width, request.height, request.bitsPerPixel)
          : qd4.VOR_GetImage(hCam, request.segment, request.firstImage, request.lastImage, request.bufNr);
  camera.End();
  if (read != kOk) {
    // A failed read leaves nothing worth copying: the user is told, the caller gets the code.
    buffer.End();
    ShowErrorBox(read, "GetImage Error %lx\n bufnr:%d \nsegment number: %d \n firstimage:%d \nlastimage: %d", read,
                 static_cast<int>(request.bufNr), static_cast<int>(request.segment),
                 static_cast<int>(request.firstImage), static_cast<int>(request.lastImage));
    return LogAndReturn(read, lines.error2);
  }
  if (!buffer || source.picPtr == nullptr) return LogAndReturn(kNoBuffer, lines.error2);

  const uint64_t count = request.extended ? uint64_t{request.width} * request.height * pixelWidth : source.size;
  const ErrorCode copied = CopyIntoArray(source, count, target, &buffer, stats);
  buffer.End();
  return copied == kOk ? LogAndReturn(kOk, lines.done, request.bufNr) : LogAndReturn(copied, lines.error2);
}

}  // namespace

/***********************************************************************
 *      VGetImageFromCamRam (vorlabview.3)
 *
 * Has a QD4 camera read one image from its memory into a buffer, then copies the buffer.
 *
 * PARAMS
 *  hCam    [I] camera handle given to VInitLibrary
 *  segment [I] segment of camera memory
 *  image   [I] image number, read as first and last image
 *  unused  [I] not read
 *  bufNr   [I] the buffer to read into
 *  image1D [O] LabVIEW 1-D array of 16-bit elements; receives the buffer's whole size
 *
 * RETURNS
 *  0; 0xA00A3001 for a null array or a value that is no LabVIEW handle; 0x800A3004 unless
 *  the camera is QD4; the read's code (also shown in a box); 0xA00A3003 for an unregistered
 *  buffer; 0xA00A3006 when the buffer does not fit the array.
 */
extern "C" ErrorCode WINAPI VGetImageFromCamRam(void* hCam, uint16_t segment, uint32_t image, uint32_t /*unused*/,
                                                int16_t bufNr, VLVArrayHandle image1D) {
  const CamRamRequest request = {segment, image, image, bufNr, false, 0, 0, 0};
  return ReadFromCamRam(kFromCamRam, hCam, request, image1D);
}

/***********************************************************************
 *      VGetImageExFromCamRam (vorlabview.8)
 *
 * Has a QD4 camera read images from its memory into a buffer, then copies
 * width x height pixels of it.
 *
 * PARAMS
 *  hCam         [I] camera handle given to VInitLibrary
 *  segment      [I] segment of camera memory
 *  firstImage   [I] first image number
 *  lastImage    [I] last image number
 *  bufNr        [I] the buffer to read into
 *  width        [I] image width in pixels
 *  height       [I] image height in pixels
 *  bitsPerPixel [I] above 8, two bytes per pixel
 *  image1D      [O] LabVIEW 1-D array
 *
 * RETURNS
 *  As VGetImageFromCamRam.
 */
extern "C" ErrorCode WINAPI VGetImageExFromCamRam(void* hCam, uint16_t segment, uint32_t firstImage,
                                                  uint32_t lastImage, int16_t bufNr, uint16_t width,
                                                  uint16_t height, uint16_t bitsPerPixel, VLVArrayHandle image1D) {
  const CamRamRequest request = {segment, firstImage, lastImage, bufNr, true, width, height, bitsPerPixel};
  return ReadFromCamRam(kFromCamRamEx, hCam, request, image1D);
}

/***********************************************************************
 *      VGetImageFromBuffer (vorlabview.4)
 *
 * Copies width x height pixels of a filled buffer into a 1-D LabVIEW array.
 *
 * PARAMS
 *  hCam         [I] camera handle given to VInitLibrary
 *  bufNr        [I] the buffer
 *  width        [I] image width in pixels
 *  height       [I] image height in pixels
 *  bitsPerPixel [I] above 8, two bytes per pixel
 *  image1D      [O] LabVIEW 1-D array
 *
 * RETURNS
 *  0; 0xA00A3001 for a null array or a value that is no LabVIEW handle; 0x800A3004 for an
 *  unregistered camera; 0xA00A3003 for an unregistered buffer; 0xA00A3006 when the image
 *  exceeds the buffer or the array.
 */
extern "C" ErrorCode WINAPI VGetImageFromBuffer(void* hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                                uint16_t bitsPerPixel, VLVArrayHandle image1D) {
  return CopyFilledBuffer(kFromBuffer, 1, hCam, bufNr, width, height, bitsPerPixel, image1D);
}

/***********************************************************************
 *      VGetImageFromBuffer2D (vorlabview.7)
 *
 * As VGetImageFromBuffer, into a 2-D LabVIEW array; the bytes are laid out unchanged.
 */
extern "C" ErrorCode WINAPI VGetImageFromBuffer2D(void* hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                                  uint16_t bitsPerPixel, VLVArrayHandle image2D) {
  return CopyFilledBuffer(kFromBuffer2D, 2, hCam, bufNr, width, height, bitsPerPixel, image2D);
}
