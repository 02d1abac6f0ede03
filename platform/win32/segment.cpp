// The TRACE shared segment as a named file mapping backed by the paging
// file. It lives while any handle to it is open, so it never outlives the
// processes that use it and there is nothing to remove.

#include <cstring>
#include <string>

#include "platform/win32/object.h"

namespace ductrine::platform {
namespace {

// All access rights of a file mapping.
constexpr DWORD kMapAllAccess = 0xF001F;

}  // namespace

Handle SharedSegment::CreateExclusive(std::string_view name, std::size_t size,
                                      std::string_view initial) {
  std::string text(name);
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(static_cast<std::uint64_t>(size) >> 32),
                                      static_cast<DWORD>(size), text.c_str());
  if (mapping == nullptr) return nullptr;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping);
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  void* view = MapViewOfFile(mapping, kMapAllAccess, 0, 0, size);
  if (view == nullptr) {
    DWORD code = GetLastError();
    CloseHandle(mapping);
    SetLastError(code);
    return nullptr;
  }
  std::memcpy(view, initial.data(), initial.size() < size ? initial.size() : size);
  UnmapViewOfFile(view);
  return new Object(ObjectKind::kSegment, mapping);
}

Handle SharedSegment::OpenExisting(std::string_view name) {
  std::string text(name);
  HANDLE mapping = OpenFileMappingA(kMapAllAccess, FALSE, text.c_str());
  return mapping == nullptr ? nullptr : new Object(ObjectKind::kSegment, mapping);
}

void* SharedSegment::Map(Handle segment, std::size_t size) {
  if (segment == nullptr || segment->kind != ObjectKind::kSegment) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return MapViewOfFile(segment->handle, kMapAllAccess, 0, 0, size);
}

void SharedSegment::Unmap(void* view, std::size_t) {
  if (view) UnmapViewOfFile(view);
}

void SharedSegment::Remove(std::string_view) {}

int SharedSegment::ExistsCode() { return ERROR_ALREADY_EXISTS; }

}  // namespace ductrine::platform
