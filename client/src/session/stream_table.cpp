#include "session/stream_table.hpp"

#include <algorithm>

namespace quillmar {

StreamTicket StreamTable::insert(std::uint32_t id, StreamSender sender, LocalCutPtr cut) {
  const StreamTicket ticket = next_ticket_++;
  auto entry = entries_.find(id);
  if (entry == entries_.end()) {
    entries_.emplace(id, Entry{std::move(sender), ticket, std::move(cut)});
    return ticket;
  }
  // The old sending end is released as this temporary goes, closing its queue.
  Entry old = std::exchange(entry->second, Entry{std::move(sender), ticket, std::move(cut)});
  return ticket;
}

std::optional<StreamSender> StreamTable::take_out(std::uint32_t id) {
  auto entry = entries_.find(id);
  if (entry == entries_.end()) return std::nullopt;
  std::optional<StreamSender> taken(std::move(entry->second.sender));
  entries_.erase(entry);
  return taken;
}

std::optional<StreamSender> StreamTable::take_out_own(std::uint32_t id, StreamTicket ticket) {
  auto entry = entries_.find(id);
  if (entry == entries_.end() || entry->second.ticket != ticket) return std::nullopt;
  return take_out(id);
}

std::optional<StreamSender> StreamTable::look_up(std::uint32_t id) const {
  auto entry = entries_.find(id);
  if (entry == entries_.end()) return std::nullopt;
  return entry->second.sender;
}

std::vector<std::pair<std::uint32_t, StreamSender>> StreamTable::take_all() {
  std::vector<std::pair<std::uint32_t, StreamSender>> all;
  all.reserve(entries_.size());
  for (auto& [id, entry] : entries_) all.emplace_back(id, std::move(entry.sender));
  entries_.clear();
  return all;
}

void StreamTable::cut_all() {
  auto entries = std::move(entries_);
  entries_.clear();
  for (auto& [id, entry] : entries) {
    if (entry.cut) entry.cut->cut();
  }
}

StreamTable::TaskMark::TaskMark(StreamTable& table) : table_(table) {
  ++table_.running_tasks_;
  table_.peak_tasks_ = std::max(table_.peak_tasks_, table_.running_tasks_);
}

StreamTable::TaskMark::~TaskMark() {
  if (--table_.running_tasks_ > 0 || table_.peak_tasks_ < RELEASE_AFTER_STREAMS) return;
  table_.peak_tasks_ = 0;
  table_.release_memory_();
}

}  // namespace quillmar
