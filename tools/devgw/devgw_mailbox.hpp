// Hand-offs from any thread to one executor, delivered in the order pushed. Items pushed
// while a delivery is on its way join it, so that one post carries many of them: a busy
// thread pays one post (an allocation, the executor's locks, perhaps a wake-up) per batch
// instead of one per item.
//
// Owned by everyone who pushes and by the delivery on its way. A delivery destroyed
// without running (its context shut down) drops the items waiting, which may own the
// pushers themselves.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/post.hpp>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillmar::devgw {

// Item: movable, and invocable once on the target executor.
template <typename Item>
class Mailbox : public std::enable_shared_from_this<Mailbox<Item>> {
 public:
  explicit Mailbox(asio::any_io_executor target) : target_(std::move(target)) {}

  const asio::any_io_executor& target() const { return target_; }

  void push(Item item) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(item));
      if (delivery_posted_) return;
      delivery_posted_ = true;
    }
    asio::post(target_, Delivery{this->shared_from_this()});
  }

 private:
  struct Delivery {
    std::shared_ptr<Mailbox> box;

    Delivery(std::shared_ptr<Mailbox> to) : box(std::move(to)) {}
    Delivery(Delivery&&) noexcept = default;
    Delivery& operator=(Delivery&&) = delete;
    ~Delivery() {
      if (box) box->take_all();  // never ran: what waits is dropped
    }
    void operator()() {
      auto to = std::move(box);
      for (Item& item : to->take_all()) std::move(item)();
    }
  };

  // Later pushes post a new delivery, which runs after this one on the target.
  std::vector<Item> take_all() {
    std::vector<Item> taken;
    std::lock_guard lock(mutex_);
    taken.swap(items_);
    delivery_posted_ = false;
    return taken;
  }

  asio::any_io_executor target_;
  std::mutex mutex_;
  std::vector<Item> items_;
  bool delivery_posted_ = false;
};

}  // namespace quillmar::devgw
