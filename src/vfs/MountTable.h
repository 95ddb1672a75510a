// A session's virtual roots: virtual names mapped to local directories, kept in insertion order.
// After a login it holds one entry, "/" mapped to the account's root directory.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/FixedText.h"

namespace drovn::vfs {

using PathText = FixedText<2048>;

class MountTable {
 public:
  struct Entry {
    std::unique_ptr<PathText> name;
    std::unique_ptr<PathText> directory;
  };

  void clear() noexcept { entries_.clear(); }
  // Stores directory under name; the table owns both from now on.
  void set(std::unique_ptr<PathText> name, std::unique_ptr<PathText> directory) {
    entries_.push_back(Entry{std::move(name), std::move(directory)});
  }
  const std::vector<Entry>& entries() const noexcept { return entries_; }
  bool empty() const noexcept { return entries_.empty(); }

 private:
  std::vector<Entry> entries_;
};

}  // namespace drovn::vfs
