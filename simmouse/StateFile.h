#pragma once
// The few platform operations the state file needs, with one implementation
// on Win32 and one on POSIX.
#include <string>

namespace simmouse {
namespace detail {

// Whole file into `out`; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* out);
// Writes a temporary file beside `path` and renames it over `path`, so that a
// reader sees either the old or the new content, never a mix.
bool WriteFileAtomically(const std::string& path, const std::string& data);
// An environment variable of the process; empty when unset.
std::string GetEnvironment(const char* name);

// Cross-process lock for read-modify-write: a lock file created exclusively
// beside the state file. A lock older than a few seconds is taken to be left
// over from a process that died, and broken.
class FileLock {
 public:
  explicit FileLock(const std::string& statePath);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return m_held; }

 private:
  std::string m_lockPath;
  bool m_held = false;
};

}  // namespace detail
}  // namespace simmouse
