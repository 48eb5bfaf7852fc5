// The handle table and CloseHandle.
#include <hostwin/hostwin.h>

#include <unordered_map>
#include <vector>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

constexpr std::uint32_t kFirstHandle = 4;
constexpr std::uint32_t kHandleStep = 4;
constexpr std::uint32_t kHandleLimit = 0x80000000u;  // handles fit a positive Java int

// Guarded by the kernel lock. A closed value goes onto `freed` and is handed out again
// before any new one, most recently freed first, as Windows does: a stale value then names
// whatever object was created next, exactly as it does on a till.
struct HandleTable {
  std::unordered_map<std::uint32_t, ObjectRef> objects;
  std::vector<std::uint32_t> freed;
  std::uint32_t next = kFirstHandle;
};

HandleTable& TheTable() {
  static HandleTable* table = new HandleTable();  // immortal, like the kernel
  return *table;
}

// Handles outside [4, 2^31) or not a multiple of 4 are never in the table; -1 and null are
// among them.
bool ToKey(HANDLE handle, std::uint32_t* key) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < kFirstHandle || value >= kHandleLimit || value % kHandleStep != 0) return false;
  *key = static_cast<std::uint32_t>(value);
  return true;
}

// The current process, named by the pseudo-handle -1; it ends only with the process.
class ProcessObject final : public KernelObject {
 public:
  ProcessObject() : KernelObject(ObjectKind::kProcess) {}
  bool Waitable() const override { return true; }
};

const ObjectRef& TheProcess() {
  static ObjectRef* process = new ObjectRef(std::make_shared<ProcessObject>());
  return *process;
}

}  // namespace

Kernel& TheKernel() {
  static Kernel* kernel = new Kernel();
  return *kernel;
}

HANDLE InsertHandleLocked(ObjectRef object) {
  HandleTable& table = TheTable();
  std::uint32_t key = 0;
  if (!table.freed.empty()) {
    key = table.freed.back();
    table.freed.pop_back();
  } else {
    // Room for this value on the free list is made now, so that closing it never has to
    // allocate: CloseHandle does not fail for want of memory.
    table.freed.reserve(table.objects.size() + 1);
    key = table.next;
    while (table.objects.count(key) != 0) {
      key = key + kHandleStep >= kHandleLimit ? kFirstHandle : key + kHandleStep;
    }
    table.next = key + kHandleStep >= kHandleLimit ? kFirstHandle : key + kHandleStep;
  }
  table.objects.emplace(key, std::move(object));
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(key));
}

HANDLE InsertHandle(ObjectRef object) {
  std::lock_guard<std::mutex> guard(TheKernel().lock);
  return InsertHandleLocked(std::move(object));
}

ObjectRef LookupLocked(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return TheProcess();
  std::uint32_t key = 0;
  if (!ToKey(handle, &key)) return nullptr;
  const auto found = TheTable().objects.find(key);
  return found == TheTable().objects.end() ? nullptr : found->second;
}

ObjectRef Lookup(HANDLE handle) {
  std::lock_guard<std::mutex> guard(TheKernel().lock);
  return LookupLocked(handle);
}

ObjectRef RemoveLocked(HANDLE handle) {
  std::uint32_t key = 0;
  if (!ToKey(handle, &key)) return nullptr;
  const auto found = TheTable().objects.find(key);
  if (found == TheTable().objects.end()) return nullptr;
  ObjectRef object = std::move(found->second);
  TheTable().objects.erase(found);
  TheTable().freed.push_back(key);
  return object;
}

}  // namespace detail

int OpenHandleCount() {
  std::lock_guard<std::mutex> guard(detail::TheKernel().lock);
  return static_cast<int>(detail::TheTable().objects.size());
}

}  // namespace hostwin

using namespace hostwin::detail;

BOOL WINAPI CloseHandle(HANDLE hObject) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("CloseHandle", &error)) return FailWith(error);
    if (hObject == INVALID_HANDLE_VALUE) return TRUE;  // the process pseudo-handle
    ObjectRef object;  // released after the lock: it may be a file's last reference
    {
      std::lock_guard<std::mutex> guard(TheKernel().lock);
      object = LookupLocked(hObject);
      if (object && object->ClosableByCloseHandle()) RemoveLocked(hObject);
    }
    if (!object || !object->ClosableByCloseHandle()) return FailWith(ERROR_INVALID_HANDLE);
    object->OnHandleClosed();
    return TRUE;
  });
}
