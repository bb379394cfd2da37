#include "common/failing_new.h"

#include <cstdlib>
#include <new>

namespace {

// Per thread: allocations still allowed before the failure starts (-1: not
// armed), and how many were refused.
thread_local long t_allowed = -1;
thread_local long t_refused = 0;

void* Allocate(std::size_t size) {
  if (t_allowed == 0) {
    ++t_refused;
    throw std::bad_alloc();
  }
  if (t_allowed > 0) --t_allowed;
  if (size == 0) size = 1;
  for (;;) {
    if (void* block = std::malloc(size)) return block;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

}  // namespace

// The replaceable global allocation functions. The library's operator delete
// frees with free(), which matches the malloc here.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace tvr_test {

FailingAllocations::FailingAllocations(long firstFailure) noexcept {
  t_refused = 0;
  t_allowed = firstFailure < 0 ? 0 : firstFailure;
}
FailingAllocations::~FailingAllocations() { Disarm(); }
void FailingAllocations::Disarm() noexcept { t_allowed = -1; }
bool FailingAllocations::Failed() const noexcept { return t_refused > 0; }

void ArmFailingAllocationsNow() noexcept {
  t_refused = 0;
  t_allowed = 0;
}
void DisarmFailingAllocations() noexcept { t_allowed = -1; }
long RefusedAllocations() noexcept { return t_refused; }

}  // namespace tvr_test
