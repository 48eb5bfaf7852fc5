#include "jni/PipeNames.h"

#include <climits>
#include <mutex>
#include <new>

namespace {

// Names start well above the small values an application might use as markers of its own.
constexpr std::int32_t kFirstName = 0x1001;

}  // namespace

PipeNames& ThePipeNames() {
  // Made in static storage, so its first use allocates nothing and cannot fail.
  alignas(PipeNames) static unsigned char storage[sizeof(PipeNames)];
  static PipeNames* const names = new (storage) PipeNames();
  return *names;
}

namespace {
// Made on the thread that loads the library, so that no two Java threads race to make it.
[[maybe_unused]] const PipeNames& g_namesMadeAtLoad = ThePipeNames();
}  // namespace

std::int32_t PipeNames::NewNameLocked() {
  for (;;) {
    m_nLastName = m_nLastName >= INT_MAX || m_nLastName < kFirstName ? kFirstName : m_nLastName + 1;
    if (FindLocked(m_nLastName) == nullptr) return m_nLastName;
  }
}

const PipeNames::Entry* PipeNames::FindLocked(std::int32_t name) const {
  for (const Entry& entry : m_entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

const PipeNames::Entry* PipeNames::FindPortPipeLocked(Pipe pipe) const {
  for (const Entry& entry : m_entries) {
    if (entry.pipe == pipe) return &entry;
  }
  return nullptr;
}

std::int32_t PipeNames::NameOfPortPipe(Pipe pipe, HANDLE device) {
  std::lock_guard<SlimLock> guard(m_lock);
  if (const Entry* entry = FindPortPipeLocked(pipe)) return entry->name;
  m_entries.reserve(m_entries.size() + 1);  // the one step that can fail, before any change
  const std::int32_t name = NewNameLocked();
  m_entries.push_back(Entry{name, pipe, device});
  return name;
}

std::int32_t PipeNames::NameNativeRead(HANDLE device) {
  std::lock_guard<SlimLock> guard(m_lock);
  m_entries.reserve(m_entries.size() + 1);
  const std::int32_t name = NewNameLocked();
  m_entries.push_back(Entry{name, Pipe::kNativeRead, device});
  return name;
}

bool PipeNames::Find(std::int32_t name, Entry* entry) const {
  std::lock_guard<SlimLock> guard(m_lock);
  const Entry* found = FindLocked(name);
  if (found == nullptr) return false;
  *entry = *found;
  return true;
}

bool PipeNames::Retire(std::int32_t name) {
  std::lock_guard<SlimLock> guard(m_lock);
  for (Entry& entry : m_entries) {
    if (entry.name != name) continue;
    entry = m_entries.back();
    m_entries.pop_back();
    return true;
  }
  return false;
}

void PipeNames::RetirePortPipes() {
  std::lock_guard<SlimLock> guard(m_lock);
  for (std::size_t i = 0; i < m_entries.size();) {
    if (m_entries[i].pipe == Pipe::kNativeRead) {
      ++i;
      continue;
    }
    m_entries[i] = m_entries.back();
    m_entries.pop_back();
  }
}
