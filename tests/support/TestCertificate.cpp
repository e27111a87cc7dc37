#include "tests/support/TestCertificate.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace age::test {

TestCertificate makeTestCertificate(const std::filesystem::path& dir, const std::string& name,
                                    const std::string& altNames) {
    TestCertificate made{dir / (name + ".pem"), dir / (name + ".key")};
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=age-test"
        " -addext subjectAltName=" + altNames + " -keyout '" + made.key.string() + "' -out '" +
        made.certificate.string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl failed: " + command);
    return made;
}

std::vector<std::string> tlsServeArgs(const TestCertificate& certificate) {
    return {"--listen-tls", "127.0.0.1:0", "--tls-cert", certificate.certificate.string(), "--tls-key",
            certificate.key.string()};
}

}  // namespace age::test
