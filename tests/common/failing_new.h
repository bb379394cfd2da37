#pragma once
// Allocation failure on demand, for tests of the out-of-memory paths.
//
// The test programs that link this replace the global operator new: while a
// thread has armed it, the Nth allocation on that thread (counting from 0)
// and every one after it throw std::bad_alloc, as under memory pressure that
// does not let up. Other threads allocate as usual. Disarmed, it is plain
// malloc.
//
//   for (long n = 0;; ++n) {
//     tvr_test::FailingAllocations failing(n);
//     RunTheCodeUnderTest();
//     if (!failing.Failed()) break;   // every allocation point has been hit
//   }

namespace tvr_test {

// Arms the failure on this thread for the scope: allocation number
// `firstFailure` (0-based) and all later ones throw.
class FailingAllocations {
 public:
  explicit FailingAllocations(long firstFailure) noexcept;
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;

  // Ends the failure early (the scope's end does the same).
  void Disarm() noexcept;
  // True when at least one allocation on this thread was refused.
  [[nodiscard]] bool Failed() const noexcept;
};

// Arms the failure on this thread from the next allocation on, with no
// scope; for a fake that must refuse the allocations of the code it returns
// to. DisarmFailingAllocations ends it.
void ArmFailingAllocationsNow() noexcept;
void DisarmFailingAllocations() noexcept;
// Allocations refused on this thread since the last arming.
[[nodiscard]] long RefusedAllocations() noexcept;

}  // namespace tvr_test
