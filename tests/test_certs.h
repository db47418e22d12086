// Certificates made at test time with the openssl command: a root CA, an intermediate CA signed by
// it, a server certificate for 127.0.0.1 and localhost signed by the intermediate (server.pem holds
// leaf and intermediate, server-leaf.pem the leaf alone), a self-signed certificate for another name, and a client
// certificate with an encrypted key (pass phrase "secret").
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace qmt_test {

class Certificates {
public:
  Certificates() {
    FDir = std::filesystem::temp_directory_path() / ("qmt_certs_" + std::to_string(::getpid()));
    std::filesystem::create_directories(FDir);
    const std::string d = FDir.string();
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=qmt-test-ca "
        "-keyout " + d + "/ca.key -out " + d + "/ca.pem");
    // As public servers do: root -> intermediate -> leaf, and the server sends leaf and intermediate.
    Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=qmt-test-intermediate "
        "-keyout " + d + "/intermediate.key -out " + d + "/intermediate.csr");
    std::ofstream(d + "/ca-ext.cnf") << "basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n";
    Run("openssl x509 -req -in " + d + "/intermediate.csr -CA " + d + "/ca.pem -CAkey " + d + "/ca.key -CAcreateserial "
        "-days 2 -extfile " + d + "/ca-ext.cnf -out " + d + "/intermediate.pem");
    Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost "
        "-keyout " + d + "/server.key -out " + d + "/server.csr");
    std::ofstream(d + "/ext.cnf") << "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n";
    Run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/intermediate.pem -CAkey " + d + "/intermediate.key "
        "-CAcreateserial -days 2 -extfile " + d + "/ext.cnf -out " + d + "/server-leaf.pem");
    std::ofstream(d + "/server.pem") << std::ifstream(d + "/server-leaf.pem").rdbuf() << std::ifstream(d + "/intermediate.pem").rdbuf();
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=wrong.example "
        "-addext subjectAltName=DNS:wrong.example -keyout " + d + "/wrong.key -out " + d + "/wrong.pem");
    Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -passout pass:secret -subj /CN=client "
        "-keyout " + d + "/client.key -out " + d + "/client.csr");
    Run("openssl x509 -req -in " + d + "/client.csr -CA " + d + "/ca.pem -CAkey " + d + "/ca.key -CAcreateserial "
        "-days 2 -out " + d + "/client.pem");
  }
  ~Certificates() { std::filesystem::remove_all(FDir); }
  std::string Path(const char* aName) const { return (FDir / aName).string(); }

private:
  static void Run(const std::string& aCommand) {
    ASSERT_EQ(std::system((aCommand + " >/dev/null 2>&1").c_str()), 0) << aCommand;
  }
  std::filesystem::path FDir;
};

inline const Certificates& Certs() {
  static Certificates sCerts;
  return sCerts;
}

}  // namespace qmt_test
