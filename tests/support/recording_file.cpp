#include "tests/support/recording_file.h"

#include <sys/types.h>

namespace {

ssize_t record_write(void *cookie, const char *buf, size_t size) {
  recording_file *rec = static_cast<recording_file *>(cookie);
  rec->writes.push_back(size);
  size_t room = rec->data.size() < rec->accept_limit ? rec->accept_limit - rec->data.size() : 0;
  size_t n = size < room ? size : room;
  rec->data.append(buf, n);
  return static_cast<ssize_t>(n);  // 0 is how a cookie stream reports a failed write
}

}  // namespace

FILE *open_recording_file(recording_file *rec) {
  cookie_io_functions_t io = {nullptr, record_write, nullptr, nullptr};
  FILE *f = fopencookie(rec, "wb", io);
  if (f != nullptr) setvbuf(f, nullptr, _IONBF, 0);
  return f;
}
