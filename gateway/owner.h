// Ownership of the driver's heap records for the length of a run.
#pragma once

namespace kavro {

// Holds a record and releases it when the owner goes out of scope, so that no
// way out of the run can forget it. `Release` must leave the record empty, so
// that releasing it early and again at the end is harmless.
template <typename Record, void (*Release)(Record*)>
class Owner {
 public:
  Owner() = default;
  ~Owner() { Release(&record_); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  Record* get() { return &record_; }
  Record* operator->() { return &record_; }
  const Record& operator*() const { return record_; }
  // Releases the record now; the owner then holds an empty one.
  void reset() { Release(&record_); }

 private:
  Record record_{};
};

}  // namespace kavro
