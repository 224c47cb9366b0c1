#include "platform/handle_table.h"
#include "platform/mutex.h"

#include <unordered_map>

namespace platform {
namespace {

struct Table {
  Mutex mu;
  // Handles step by 4 from 0x100, as kernel handles do; the space is large
  // enough that a process never wraps into 0x80000000 (the registry's roots).
  uint32_t next GUARDED_BY(mu) = 0x100;
  std::unordered_map<HANDLE, std::shared_ptr<HandleObject>> objects GUARDED_BY(mu);
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: used at exit
  return *table;
}

}  // namespace

HANDLE IssueHandle(std::shared_ptr<HandleObject> object) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  if (t.next >= 0x7FFFFFF0u) return 0;
  HANDLE h = t.next;
  t.next += 4;
  t.objects.emplace(h, std::move(object));
  return h;
}

std::shared_ptr<HandleObject> FindHandleObject(HANDLE handle) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  auto it = t.objects.find(handle);
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle) {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  auto it = t.objects.find(handle);
  if (it == t.objects.end()) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

void ClearHandles() {
  Table& t = TheTable();
  MutexLock lock(&t.mu);
  t.objects.clear();
}

}  // namespace platform
