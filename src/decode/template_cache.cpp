#include "decode/template_cache.hpp"

#include <algorithm>
#include <functional>

namespace quorvex {

bool TemplateCache::Key::operator==(const Key& other) const {
  return tables == other.tables && std::ranges::equal(codes, other.codes);
}

std::size_t TemplateCache::KeyHash::operator()(const Key& key) const {
  std::size_t h = std::hash<const TableSet*>{}(key.tables);
  for (const std::uint32_t code : key.codes) h = (h ^ code) * 0x100000001b3u;
  return h;
}

const TemplateCache::Entry* TemplateCache::touch(const Key& key) {
  const auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  entries_.splice(entries_.begin(), entries_, it->second);
  return &*it->second;
}

std::shared_ptr<const TemplateProgram> TemplateCache::get(const std::shared_ptr<const TableSet>& tables,
                                                          std::span<const std::uint32_t> codes) {
  if (tables == nullptr) return nullptr;
  const Key probe{tables.get(), codes};
  {
    const std::lock_guard lock(mutex_);
    if (const Entry* hit = touch(probe)) return hit->program;
  }
  // Compiled outside the lock: other threads go on decoding meanwhile. When two threads
  // compile the same list, the first program stored is kept.
  std::optional<TemplateProgram> compiled = compile_template(*tables, codes);
  std::shared_ptr<const TemplateProgram> program =
      compiled ? std::make_shared<const TemplateProgram>(std::move(*compiled)) : nullptr;
  Entry entry{tables, std::vector<std::uint32_t>(codes.begin(), codes.end()), program};
  const std::lock_guard lock(mutex_);
  if (const Entry* hit = touch(probe)) return hit->program;
  if (entries_.size() >= capacity_) {
    const Entry& last = entries_.back();
    index_.erase(Key{last.tables.get(), last.codes});
    entries_.pop_back();
  }
  entries_.push_front(std::move(entry));
  index_.emplace(Key{entries_.front().tables.get(), entries_.front().codes}, entries_.begin());
  return program;
}

const std::shared_ptr<const TemplateProgram>& TemplateCache::get(
    const std::shared_ptr<const TableSet>& tables, std::span<const std::uint32_t> codes, Last& last) {
  if (tables == nullptr || last.tables != tables || !std::ranges::equal(codes, last.codes)) {
    last.program = get(tables, codes);
    last.tables = tables;
    last.codes.assign(codes.begin(), codes.end());
  }
  return last.program;
}

std::size_t TemplateCache::size() const {
  const std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace quorvex
