// The TRACE shared segment as a POSIX shared-memory object, mode 0600.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/object.h"

namespace ductrine::platform {
namespace {

std::string ShmName(std::string_view name) {
  std::string result = "/";
  for (char c : name) result += (c == '/') ? '_' : c;
  return result;
}

}  // namespace

Handle SharedSegment::CreateExclusive(std::string_view name, std::size_t size,
                                      std::string_view initial) {
  std::string shm = ShmName(name);
  int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return nullptr;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0 ||
      pwrite(fd, initial.data(), initial.size() < size ? initial.size() : size, 0) < 0) {
    int code = errno;
    close(fd);
    shm_unlink(shm.c_str());
    errno = code;
    return nullptr;
  }
  auto* segment = new SegmentObject();
  segment->fd = fd;
  return segment;
}

Handle SharedSegment::OpenExisting(std::string_view name) {
  int fd = shm_open(ShmName(name).c_str(), O_RDWR, 0600);
  if (fd < 0) return nullptr;
  auto* segment = new SegmentObject();
  segment->fd = fd;
  return segment;
}

void* SharedSegment::Map(Handle handle, std::size_t size) {
  if (handle == nullptr || handle->kind != ObjectKind::kSegment) {
    errno = EBADF;
    return nullptr;
  }
  struct stat info {};
  int fd = static_cast<SegmentObject*>(handle)->fd;
  // A view larger than the object would fault on access instead of failing here.
  if (fstat(fd, &info) != 0) return nullptr;
  if (static_cast<std::size_t>(info.st_size) < size) {
    errno = EINVAL;
    return nullptr;
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

void SharedSegment::Unmap(void* view, std::size_t size) {
  if (view) munmap(view, size);
}

void SharedSegment::Remove(std::string_view name) { shm_unlink(ShmName(name).c_str()); }

int SharedSegment::ExistsCode() { return EEXIST; }

void CloseSegment(SegmentObject* segment) {
  if (segment->fd >= 0) close(segment->fd);
  delete segment;
}

}  // namespace ductrine::platform
