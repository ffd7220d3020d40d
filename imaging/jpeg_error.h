// libjpeg's error reporting, shared by the decoder and the encoder: an error
// must not return to the library, so it jumps back to the one setjmp of the
// function that owns the codec object; warnings are dropped.
#pragma once

#include <csetjmp>
#include <cstdio>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

namespace img {

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

inline void JpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}
inline void JpegNoMessage(j_common_ptr, int) {}

// Sets the manager up; the result goes into the codec object's err.
inline jpeg_error_mgr* UseJpegErrors(JpegErrorManager* m) {
  jpeg_error_mgr* e = jpeg_std_error(&m->pub);
  e->error_exit = JpegErrorExit;
  e->emit_message = JpegNoMessage;
  return e;
}

}  // namespace img
