#pragma once
// A text-to-text table with exact, case-sensitive keys.
//
// Iteration follows the order in which each key was first set. The manifest
// readers fill the tables in manifest order, so the dialog's rows and the order
// of installation both follow the manifest; replacing a value keeps the key's
// place.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class FileTable {
 public:
  using Entry = std::pair<std::string, std::string>;
  using const_iterator = std::vector<Entry>::const_iterator;

  // Sets key to value; a key that exists keeps its position.
  void Set(const std::string& key, const std::string& value) {
    auto [it, inserted] = index_.emplace(key, entries_.size());
    if (inserted) {
      entries_.emplace_back(key, value);
    } else {
      entries_[it->second].second = value;
    }
  }

  // The value stored for key, or null when the key is absent.
  const std::string* Find(const std::string& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }

  bool Contains(const std::string& key) const { return index_.count(key) != 0; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear() {
    entries_.clear();
    index_.clear();
  }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};
