// TLS is verified: a loopback server with a self-signed certificate (a python3
// peer that first proves its own handshake works) is refused, as an untrusted
// certificate with no answer, and the request never reaches the server's handler.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "tests/support/ShellTools.h"

namespace net = platform::net;
namespace pf = platform::foundation;
namespace fs = std::filesystem;

namespace {

const char* const kServer = R"PY(
import http.server, socket, ssl, sys, threading
cert, key, log = sys.argv[1:4]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        open(log, 'a').write(self.path + '\n')
        body = b'secret'
        self.send_response(200)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *a): pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
server.socket = ctx.wrap_socket(server.socket, server_side=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
port = server.server_address[1]
# Our own handshake, without verification, must succeed before the test runs.
client = ssl.create_default_context()
client.check_hostname = False
client.verify_mode = ssl.CERT_NONE
with socket.create_connection(('127.0.0.1', port), timeout=10) as raw:
    with client.wrap_socket(raw) as s:
        s.sendall(b'GET /selftest HTTP/1.0\r\n\r\n')
        reply = b''
        while True:
            part = s.recv(4096)
            if not part: break
            reply += part
        assert reply.endswith(b'secret'), reply
print(port, flush=True)
sys.stdin.read()
)PY";

class SelfSignedServer : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qm-tls-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        const std::string cert = (dir_ / "cert.pem").string(), key = (dir_ / "key.pem").string();
        if (!qmtest::run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                          "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert})
                 .ok())
            GTEST_SKIP() << "openssl could not make a certificate";
        std::ofstream(dir_ / "server.py") << kServer;
        log_ = (dir_ / "requests.log").string();

        int toChild[2], fromChild[2];
        ASSERT_EQ(pipe(toChild), 0);
        ASSERT_EQ(pipe(fromChild), 0);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            close(toChild[1]);
            close(fromChild[0]);
            execlp("python3", "python3", (dir_ / "server.py").c_str(), cert.c_str(), key.c_str(), log_.c_str(),
                   nullptr);
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        stdin_ = toChild[1];
        FILE* out = fdopen(fromChild[0], "r");
        char line[64] = {};
        const bool got = fgets(line, sizeof line, out) != nullptr;  // ends when the child ends
        fclose(out);
        ASSERT_TRUE(got) << "the TLS peer did not start";
        port_ = std::atoi(line);
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        if (stdin_ >= 0) close(stdin_);  // the peer ends at end of input
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string requestLog() const {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir_;
    std::string log_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

TEST_F(SelfSignedServer, UntrustedCertificateIsAnErrorWithNoAnswer) {
    ASSERT_EQ(requestLog(), "/selftest\n");
    net::URLRequest request("https://127.0.0.1:" + std::to_string(port_) + "/data");
    net::URLResponse response;
    pf::Error error;
    auto data = net::URLConnection::sendSynchronousRequest(request, &response, &error);
    EXPECT_FALSE(data.has_value());
    EXPECT_EQ(error.domain, net::kURLErrorDomain);
    EXPECT_EQ(error.code, net::kURLErrorServerCertificateUntrusted);
    EXPECT_EQ(response.statusCode(), 0);
    EXPECT_EQ(requestLog(), "/selftest\n");  // nothing was sent over the untrusted channel
}

}  // namespace
