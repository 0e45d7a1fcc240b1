#include "platform/file_stat.h"

#include "platform/unique_fd.h"
#include "platform/win_handle.h"

namespace {

// Nanoseconds since 1970 of a Windows file time (100 ns units since 1601).
int64_t ToUnixNanoseconds(uint64_t fileTime) {
  return (static_cast<int64_t>(fileTime) - static_cast<int64_t>(kFileTimeAt1970)) * 100;
}

}  // namespace

// The file index and the volume serial number take the place of the inode and
// the device; the change time comes from the basic information where the file
// system keeps one. Opening for attributes only is never refused by a writer's
// share mode.
bool CFileStat::Query(const std::string& path, FileChangeToken* token) const {
  const CUniqueFd file(
      HandleToDescriptor(CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
  if (!file.IsValid()) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(DescriptorToHandle(file.Get()), &info)) return false;
  token->nModifiedNs = ToUnixNanoseconds(FileTimeValue(info.ftLastWriteTime));
  token->nSize = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  token->nInode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  token->nDevice = info.dwVolumeSerialNumber;
  FILE_BASIC_INFO basic{};
  token->nChangedNs = 0;
  if (GetFileInformationByHandleEx(DescriptorToHandle(file.Get()), FileBasicInfo, &basic,
                                   sizeof(basic))) {
    token->nChangedNs = ToUnixNanoseconds(static_cast<uint64_t>(basic.ChangeTime.QuadPart));
  }
  return true;
}
