#include "session/stream_table.hpp"

namespace quillmar {

StreamTicket StreamTable::Held::insert(std::uint32_t id, StreamSender sender) {
  const StreamTicket ticket = table_->next_ticket_++;
  auto entry = table_->entries_.find(id);
  if (entry == table_->entries_.end()) {
    table_->entries_.emplace(id, Entry{std::move(sender), ticket});
    return ticket;
  }
  // The old sending end is released as this temporary goes, closing its queue.
  Entry old = std::exchange(entry->second, Entry{std::move(sender), ticket});
  return ticket;
}

std::optional<StreamSender> StreamTable::Held::take_out(std::uint32_t id) {
  auto entry = table_->entries_.find(id);
  if (entry == table_->entries_.end()) return std::nullopt;
  std::optional<StreamSender> taken(std::move(entry->second.sender));
  table_->entries_.erase(entry);
  return taken;
}

std::optional<StreamSender> StreamTable::Held::take_out_own(std::uint32_t id, StreamTicket ticket) {
  auto entry = table_->entries_.find(id);
  if (entry == table_->entries_.end() || entry->second.ticket != ticket) return std::nullopt;
  return take_out(id);
}

std::optional<StreamSender> StreamTable::Held::look_up(std::uint32_t id) const {
  auto entry = table_->entries_.find(id);
  if (entry == table_->entries_.end()) return std::nullopt;
  return entry->second.sender;
}

std::vector<std::pair<std::uint32_t, StreamSender>> StreamTable::Held::take_all() {
  std::vector<std::pair<std::uint32_t, StreamSender>> all;
  all.reserve(table_->entries_.size());
  for (auto& [id, entry] : table_->entries_) all.emplace_back(id, std::move(entry.sender));
  table_->entries_.clear();
  return all;
}

asio::awaitable<StreamTable::Held> StreamTable::lock() {
  auto lock = co_await mutex_.lock();
  co_return Held(this, std::move(lock));
}

asio::awaitable<StreamTicket> StreamTable::insert(std::uint32_t id, StreamSender sender) {
  auto held = co_await lock();
  co_return held.insert(id, std::move(sender));
}

asio::awaitable<std::optional<StreamSender>> StreamTable::take_out(std::uint32_t id) {
  auto held = co_await lock();
  co_return held.take_out(id);
}

asio::awaitable<std::optional<StreamSender>> StreamTable::take_out_own(std::uint32_t id,
                                                                       StreamTicket ticket) {
  auto held = co_await lock();
  co_return held.take_out_own(id, ticket);
}

asio::awaitable<std::optional<StreamSender>> StreamTable::look_up(std::uint32_t id) {
  auto held = co_await lock();
  co_return held.look_up(id);
}

asio::awaitable<std::vector<std::pair<std::uint32_t, StreamSender>>> StreamTable::take_all() {
  auto held = co_await lock();
  co_return held.take_all();
}

asio::awaitable<std::size_t> StreamTable::count() {
  auto held = co_await lock();
  co_return held.count();
}

asio::awaitable<bool> StreamTable::put(StreamSender& sender, Frame frame) {
  co_return co_await sender.send(std::move(frame));
}

}  // namespace quillmar
