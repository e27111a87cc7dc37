// A connection's socket that reads and writes through TLS when the listener has a TLS context. The
// connection code keeps treating it as the TCP socket it is (composed reads and writes, shutdown, close,
// the peer's address); it only runs the handshake before its first read.
#pragma once

#include <memory>
#include <utility>

#include <asio.hpp>
#include <asio/ssl.hpp>

namespace age::server {

class TlsSocket : public asio::ip::tcp::socket {
  public:
    using tcp = asio::ip::tcp;

    // Without a context the socket stays plain.
    TlsSocket(tcp::socket&& socket, asio::ssl::context* tls)
        : tcp::socket(std::move(socket)),
          tls_(tls ? std::make_unique<asio::ssl::stream<tcp::socket&>>(plain(), *tls) : nullptr) {}
    TlsSocket(const TlsSocket&) = delete;
    TlsSocket& operator=(const TlsSocket&) = delete;

    bool tls() const { return tls_ != nullptr; }

    // The server side of the handshake; only for a TLS socket.
    template <class Handler>
    void async_handshake(Handler&& handler) {
        tls_->async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(handler));
    }

    // What asio::async_read_until and asio::async_write call: through TLS when there is TLS.
    template <class Buffers, class Handler>
    void async_read_some(const Buffers& buffers, Handler&& handler) {
        if (tls_)
            tls_->async_read_some(buffers, std::forward<Handler>(handler));
        else
            plain().async_read_some(buffers, std::forward<Handler>(handler));
    }
    template <class Buffers, class Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler) {
        if (tls_)
            tls_->async_write_some(buffers, std::forward<Handler>(handler));
        else
            plain().async_write_some(buffers, std::forward<Handler>(handler));
    }

  private:
    tcp::socket& plain() { return *this; }
    std::unique_ptr<asio::ssl::stream<tcp::socket&>> tls_;
};

}  // namespace age::server
