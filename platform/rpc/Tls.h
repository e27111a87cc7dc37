// TLS contexts for both ends of the wire (OpenSSL through Asio's ssl stream), TLS 1.2 or later only.
#pragma once

#include <memory>
#include <string>

#include <asio/ssl/context.hpp>

namespace age::rpc {

// A client context that verifies the server's certificate against `caFile` (PEM), or against the system's
// store when it is empty. Throws std::runtime_error with a Portuguese text when the file cannot be read.
std::shared_ptr<asio::ssl::context> makeClientTlsContext(const std::string& caFile);

// A server context with its certificate chain and private key (PEM files). Throws std::runtime_error
// naming the file that cannot be used.
std::shared_ptr<asio::ssl::context> makeServerTlsContext(const std::string& certFile, const std::string& keyFile);

}  // namespace age::rpc
