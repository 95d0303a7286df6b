// The public side: visitors' connections, their routing to a device, and the two
// directions of each visitor stream.
#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <utility>

#include "devgw/devgw_host.hpp"
#include "devgw/devgw_session.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

bool maps_port(const ControlSession& session, std::uint16_t port) {
  const auto& ports = session.ports();
  return std::find(ports.begin(), ports.end(), port) != ports.end();
}

void close_socket(tcp::socket& socket) {
  std::error_code ignored;  // closing a socket the peer has reset still frees it
  socket.close(ignored);
}

// Sends the stand-in's own reply, ends the visitor's input side, and reads on for a
// moment so that closing does not reset the connection under the unread reply.
asio::awaitable<void> reply_and_close(std::shared_ptr<Core> core,
                                      std::shared_ptr<tcp::socket> visitor, std::string reply) {
  auto [write_ec, written] =
      co_await asio::async_write(*visitor, asio::buffer(reply), as_tuple_awaitable);
  if (!write_ec) {
    std::error_code ignored;  // a visitor that left already needs no end of data
    visitor->shutdown(tcp::socket::shutdown_send, ignored);
    asio::steady_timer limit(core->strand);
    limit.expires_after(core->options.linger);
    limit.async_wait([visitor](std::error_code ec) {
      if (!ec) close_socket(*visitor);
    });
    std::array<char, 4096> sink{};
    for (;;) {
      auto [ec, n] = co_await visitor->async_read_some(asio::buffer(sink), as_tuple_awaitable);
      if (ec) break;
    }
  }
  close_socket(*visitor);
}

// The bytes as KIND_DATA frames of at most VISITOR_FRAME bytes each.
std::vector<Frame> data_frames(std::uint32_t id, std::vector<std::uint8_t> bytes) {
  std::vector<Frame> frames;
  if (bytes.size() <= VISITOR_FRAME) {
    frames.push_back(Frame{std::move(bytes), id, KIND_DATA});
    return frames;
  }
  const std::span<const std::uint8_t> all(bytes);
  for (std::size_t at = 0; at < all.size(); at += VISITOR_FRAME) {
    frames.push_back(
        new_frame(KIND_DATA, id, all.subspan(at, std::min(VISITOR_FRAME, all.size() - at))));
  }
  return frames;
}

// Moves the non-empty KIND_DATA frames that are queued already behind `run`'s first one
// into `run`; the first other frame taken is left in `held`, to be handled next.
void take_queued_data(FrameReceiver& frames, std::vector<Frame>& run, std::optional<Frame>& held) {
  while (run.size() < VISITOR_WRITE_FRAMES) {
    auto more = frames.try_receive();
    if (!more) return;
    if (more->kind != KIND_DATA || more->payload.empty()) {
      held = std::move(more);
      return;
    }
    run.push_back(std::move(*more));
  }
}

}  // namespace

std::string peer_text(const tcp::socket& socket) {
  std::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  if (ec) return "?";
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

VisitorRoute Core::route_visitor(const PublicName& name) const {
  VisitorRoute route;
  std::optional<std::uint16_t> port;
  if (name.with_port) {
    route.session = device(name.with_port->first);
    port = name.with_port->second;
  }
  if (!route.session) {
    route.session = device(name.label);
    port.reset();
  }
  if (!route.session) {
    route.problem = "devgw: no device named " +
                    quoted_form(name.with_port ? name.with_port->first : name.label) +
                    " is online\n";
    return route;
  }
  const auto& ports = route.session->ports();
  if (!port) {
    if (ports.empty()) {
      route.problem = "devgw: " + route.session->name() + " maps no ports\n";
      route.session.reset();
      return route;
    }
    port = ports.front();
  }
  if (!maps_port(*route.session, *port)) {
    route.problem = "devgw: " + route.session->name() + " does not map port " +
                    std::to_string(*port) + " (it maps " +
                    (ports.empty() ? std::string("none") : join_ports(ports, ", ")) + ")\n";
    route.session.reset();
    return route;
  }
  route.port = *port;
  return route;
}

asio::awaitable<void> serve_public_visitor(std::shared_ptr<Core> core, tcp::socket socket) {
  auto visitor = std::make_shared<tcp::socket>(std::move(socket));
  std::error_code ignored;  // Nagle only costs latency
  visitor->set_option(tcp::no_delay(true), ignored);
  const std::string peer = peer_text(*visitor);
  // stop() closes a visitor that is still being routed; a routed one belongs to its stream.
  core->loose_sockets.insert(visitor);
  struct Forget {
    Core& core;
    std::shared_ptr<tcp::socket> socket;
    ~Forget() { core.loose_sockets.erase(socket); }
  } forget{*core, visitor};

  auto timed_out = std::make_shared<bool>(false);
  asio::steady_timer limit(core->strand);
  limit.expires_after(core->options.visitor_head_timeout);
  limit.async_wait([visitor, timed_out](std::error_code ec) {
    if (ec) return;
    *timed_out = true;
    std::error_code cancel_ignored;  // nothing pending means nothing to cancel
    visitor->cancel(cancel_ignored);
  });

  std::string head;
  std::optional<std::size_t> head_end;
  std::array<char, 4096> chunk{};
  while (!head_end) {
    auto [ec, n] = co_await visitor->async_read_some(asio::buffer(chunk), as_tuple_awaitable);
    if (ec) {
      if (*timed_out) {
        co_await reply_and_close(
            core, visitor,
            http_reply(408, "Request Timeout", "devgw: the request did not arrive in time\n"));
      } else {
        core->debug("visitor " + peer + " left before sending a request");
        close_socket(*visitor);
      }
      co_return;
    }
    head.append(chunk.data(), n);
    head_end = find_head_end(head);
    if (!head_end && head.size() > MAX_REQUEST_HEAD) {
      co_await reply_and_close(core, visitor,
                               http_reply(431, "Request Header Fields Too Large",
                                          "devgw: the request head is larger than 16 KiB\n"));
      co_return;
    }
  }
  limit.cancel();

  auto host = request_host(std::string_view(head).substr(0, *head_end));
  if (!host) {
    co_await reply_and_close(core, visitor,
                             http_reply(400, "Bad Request", host.error().message + "\n"));
    co_return;
  }
  auto name = parse_public_host(host.value(), core->options.domain);
  VisitorRoute route;
  if (name) {
    route = core->route_visitor(*name);
  } else {
    route.problem = "devgw: " + quoted_form(host.value()) +
                    " is no device address here; try http://<name>-<port>." + core->options.domain +
                    ":" + std::to_string(core->ports.public_http.value_or(0)) + "/\n";
  }
  if (!route.session) {
    core->log("visitor " + peer + " asked for " + quoted_form(host.value()) + ": 404, " +
              std::string(trim(route.problem)));
    co_await reply_and_close(core, visitor, http_reply(404, "Not Found", route.problem));
    co_return;
  }
  co_await ControlSession::relay_visitor(route.session, visitor, route.port, std::move(head), true,
                                         peer);
}

asio::awaitable<void> serve_raw_visitor(std::shared_ptr<Core> core, tcp::socket socket,
                                        RawRoute route) {
  auto visitor = std::make_shared<tcp::socket>(std::move(socket));
  std::error_code ignored;  // Nagle only costs latency
  visitor->set_option(tcp::no_delay(true), ignored);
  const std::string peer = peer_text(*visitor);
  auto session = core->device(route.device);
  std::string problem;
  if (!session) {
    problem = route.device + " is not online";
  } else if (!maps_port(*session, route.port)) {
    problem = route.device + " does not map port " + std::to_string(route.port);
  }
  if (!problem.empty()) {
    core->log("raw visitor " + peer + " for " + route.device + ":" + std::to_string(route.port) +
              ": " + problem + "; closed");
    close_socket(*visitor);
    co_return;
  }
  co_await ControlSession::relay_visitor(session, visitor, route.port, {}, false, peer);
}

std::uint32_t ControlSession::allocate_stream_id() {
  for (;;) {
    std::uint32_t id = next_stream_id_++;
    if (next_stream_id_ == 0) next_stream_id_ = 1;  // id 0 addresses the connection
    if (id != 0 && !streams_.contains(id)) return id;
  }
}

bool ControlSession::stream_is_open(const std::shared_ptr<VisitorLink>& link) const {
  auto entry = streams_.find(link->id);
  return entry != streams_.end() && entry->second.link == link;
}

asio::awaitable<void> ControlSession::relay_visitor(std::shared_ptr<ControlSession> self,
                                                    std::shared_ptr<tcp::socket> visitor,
                                                    std::uint16_t port, std::string first_bytes,
                                                    bool http, std::string peer) {
  auto& core = self->core_;
  if (self->closed_ || self->closing_) {
    if (http) {
      co_await reply_and_close(
          core, visitor,
          http_reply(502, "Bad Gateway", "devgw: " + self->name() + " is going offline\n"));
    } else {
      close_socket(*visitor);
    }
    co_return;
  }

  auto link = std::make_shared<VisitorLink>(core->strand);
  link->id = self->allocate_stream_id();
  link->port = port;
  link->http = http;
  link->io = VisitorSocket::start(std::move(*visitor), core->visitor_handoffs);
  link->peer = std::move(peer);
  // stop() closes the public visitors that are still relaying, as it does those being routed.
  if (http) core->relayed_visitors.insert(link->io);
  struct Forget {
    Core& core;
    std::shared_ptr<VisitorSocket> io;
    ~Forget() { core.relayed_visitors.erase(io); }
  } forget{*core, http ? link->io : nullptr};
  auto [to_visitor, frames] = make_frame_queue(VISITOR_QUEUE_LIMITS);
  self->streams_.emplace(link->id, StreamEntry{std::move(to_visitor), link});
  asio::co_spawn(
      core->strand, write_to_visitor(self, link, std::move(frames)),
      log_failure(core, self->name() + ": stream " + std::to_string(link->id) + " writer"));
  core->debug("visitor " + link->peer + " -> " + self->name() + ":" + std::to_string(port) +
              " as stream " + std::to_string(link->id));

  std::string open_text = std::to_string(port) + "\n" + first_bytes;
  if (!first_bytes.empty()) core->count_usage(self->token(), first_bytes.size());
  auto opened = co_await self->send(new_frame(KIND_OPEN, link->id, as_bytes(open_text)));
  if (!opened) co_return;

  for (;;) {
    VisitorRead read = co_await link->io->read();
    const std::error_code ec = read.ec;
    bool open = self->stream_is_open(link);
    if (ec) {
      link->input_ended = true;
      if (!open) {
        // The device has closed the stream and the visitor is done as well.
        link->linger.cancel();
        link->io->close();
      } else if (ec == asio::error::eof) {
        auto ended = co_await self->send(Frame{{}, link->id, KIND_DATA});
        if (ended && core->options.half_close) {
          (void)co_await self->send(
              Frame{{}, link->id, KIND_HALF_CLOSE});  // the empty KIND_DATA already ended it
        }
      } else {
        core->debug("visitor " + link->peer + " of stream " + std::to_string(link->id) + ": " +
                    ec.message());
        co_await self->visitor_failed(link);
      }
      co_return;
    }
    if (!open)
      continue;  // the device closed the stream: the rest is dropped until the visitor stops
    core->count_usage(self->token(), read.bytes.size());
    std::vector<Frame> frames = data_frames(link->id, std::move(read.bytes));
    auto sent = co_await self->send(std::move(frames));
    if (!sent) co_return;
  }
}

asio::awaitable<void> ControlSession::write_to_visitor(std::shared_ptr<ControlSession> self,
                                                       std::shared_ptr<VisitorLink> link,
                                                       FrameReceiver frames) {
  bool output_ended = false;
  std::optional<std::string> failure;  // a reply for a visitor that has had nothing yet
  std::optional<Frame> held;           // taken from the queue with earlier data, handled now
  std::vector<Frame> run;              // data frames written together
  for (;;) {
    std::optional<Frame> frame;
    if (held) {
      frame = std::move(held);
      held.reset();
    } else {
      frame = co_await frames.receive();
    }
    if (!frame) {
      // The queue closes without a frame when the device's session ends, or after a
      // visitor failure (which needs no reply).
      if (self->closed_) failure = "devgw: " + self->name() + " went offline\n";
      break;
    }
    if (frame->kind == KIND_CLOSE) break;
    if (frame->kind == KIND_ERROR) {
      failure = "devgw: " + self->name() +
                " refused the stream: " + decode_utf8_lossy(frame->payload) + "\n";
      break;
    }
    if (frame->kind != KIND_DATA) continue;
    if (frame->payload.empty()) {
      link->io->shutdown_send();
      output_ended = true;
      continue;
    }
    if (output_ended) {
      self->core_->debug(self->name() + ": data after the end of stream " +
                         std::to_string(link->id) + "; dropped");
      continue;
    }
    run.clear();
    run.push_back(std::move(*frame));
    take_queued_data(frames, run, held);
    std::vector<Frame> out = std::exchange(run, {});
    std::error_code ec = co_await link->io->write(std::move(out));
    if (ec) {
      co_await self->visitor_failed(link);
      break;
    }
    link->wrote_any = true;
  }
  if (failure && link->http && !link->wrote_any && !output_ended) {
    std::vector<Frame> reply;
    reply.push_back(
        new_frame(KIND_DATA, link->id, as_bytes(http_reply(502, "Bad Gateway", *failure))));
    (void)co_await link->io->write(std::move(reply));  // the visitor may be gone
  }
  co_await link->io->flush();
  self->finish_visitor(link);
}

void ControlSession::finish_visitor(const std::shared_ptr<VisitorLink>& link) {
  if (link->input_ended) {
    link->io->close();
    return;
  }
  // The visitor may still be sending; closing now could reset the connection under
  // the last bytes written. End our direction and give the visitor a moment.
  link->io->shutdown_send();
  link->linger.expires_after(core_->options.linger);
  link->linger.async_wait([link](std::error_code ec) {
    if (!ec) link->io->close();
  });
}

asio::awaitable<void> ControlSession::visitor_failed(const std::shared_ptr<VisitorLink>& link) {
  if (!stream_is_open(link)) co_return;
  // Dropping the entry closes the writer's queue, which may resume the writer: the entry
  // is out of the table first. The device learns of the end.
  (void)streams_.extract(link->id);
  (void)co_await send(Frame{{}, link->id, KIND_CLOSE});
}

}  // namespace quillmar::devgw
