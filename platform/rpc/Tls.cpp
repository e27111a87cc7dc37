#include "platform/rpc/Tls.h"

#include <openssl/ssl.h>

#include <stdexcept>

namespace age::rpc {
namespace {

std::shared_ptr<asio::ssl::context> baseContext(asio::ssl::context::method method) {
    auto context = std::make_shared<asio::ssl::context>(method);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_compression);
    return context;
}

}  // namespace

std::shared_ptr<asio::ssl::context> makeClientTlsContext(const std::string& caFile) {
    auto context = baseContext(asio::ssl::context::tls_client);
    std::error_code ec;
    if (caFile.empty())
        context->set_default_verify_paths(ec);
    else
        context->load_verify_file(caFile, ec);
    if (ec)
        throw std::runtime_error(caFile.empty() ? "Não foi possível ler os certificados do sistema: " + ec.message()
                                                : "Não foi possível ler o certificado de autoridade " + caFile +
                                                      ": " + ec.message());
    context->set_verify_mode(asio::ssl::verify_peer);
    return context;
}

std::shared_ptr<asio::ssl::context> makeServerTlsContext(const std::string& certFile, const std::string& keyFile) {
    auto context = baseContext(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::single_dh_use);
    // No resumption tickets: the client sees no stray bytes on an idle connection it checks before a call.
    SSL_CTX_set_num_tickets(context->native_handle(), 0);
    SSL_CTX_set_options(context->native_handle(), SSL_OP_NO_TICKET);
    std::error_code ec;
    context->use_certificate_chain_file(certFile, ec);
    if (ec) throw std::runtime_error("cannot use TLS certificate " + certFile + ": " + ec.message());
    context->use_private_key_file(keyFile, asio::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("cannot use TLS key " + keyFile + ": " + ec.message());
    if (SSL_CTX_check_private_key(context->native_handle()) != 1)
        throw std::runtime_error("TLS key " + keyFile + " does not match certificate " + certFile);
    return context;
}

}  // namespace age::rpc
