// A self-signed TLS certificate for tests, made with the openssl command.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace age::test {

struct TestCertificate {
    std::filesystem::path certificate;  // PEM, also the authority a client trusts
    std::filesystem::path key;
};

// NAME.pem and NAME.key in `dir`, valid for `altNames` ("DNS:localhost,IP:127.0.0.1"). Throws
// std::runtime_error when openssl fails.
TestCertificate makeTestCertificate(const std::filesystem::path& dir, const std::string& name,
                                    const std::string& altNames);

// The serve options of a TLS listener on a free loopback port with that certificate.
std::vector<std::string> tlsServeArgs(const TestCertificate& certificate);

}  // namespace age::test
