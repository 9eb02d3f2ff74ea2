#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "HostApiServer.h"
#include "InventoryClient.h"
#include "RawServer.h"
#include "RunCommand.h"
#include "TempDir.h"
#include "TestServer.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class VmInventory : public ::testing::Test {
protected:
    TempDir state;

    CommandResult Run(const std::string& arguments, const std::string& environment = "") {
        return RunCommand("env -u VSAGENT_CONFIG -u VM_INVENTORY_PASSWORD " + environment + " " +
                          Quote(VM_INVENTORY) + " --state-dir " + Quote(state.Path()) + " " +
                          arguments);
    }

    static std::string PasswordFile(const TempDir& dir, const std::string& password, int mode) {
        const std::string file = dir.File("password");
        std::ofstream(file) << password << "\n";
        EXPECT_EQ(::chmod(file.c_str(), mode), 0);
        return file;
    }
};

}  // namespace

// The pinned values are what the embedded host generates (HostApiServer's constructor): 36 VMs
// by default, the i-th with id vm-(1001 + 7i) and role-number name; VM 0 is vm-1001, web-1,
// 20 GiB, made 2025-01-01T00:00:00 on ds1, tagged pci (every fifth VM); every eleventh VM is a
// template (3 of 36); the last, VM 35, is vm-1246, backup-6.
TEST_F(VmInventory, ReportsTheEmbeddedInventoryAndAnswersFromTheCacheNextTime) {
    const CommandResult first = Run("");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_THAT(first.out, StartsWith("<?xml"));
    EXPECT_THAT(first.out, HasSubstr("<inventory count=\"36\""));
    EXPECT_EQ(Count(first.out, "<vm "), 36u);
    EXPECT_EQ(Count(first.out, "placementFromCache=\"false\""), 36u);
    // Fields of every kind made it from the host's XML and JSON into the report.
    EXPECT_THAT(first.out, HasSubstr("<vm id=\"vm-1001\""));
    EXPECT_THAT(first.out, HasSubstr("<diskBytes>21474836480</diskBytes>"));
    EXPECT_THAT(first.out, HasSubstr("<created>2025-01-01T00:00:00</created>"));
    EXPECT_THAT(first.out, HasSubstr("<datastore>/datastores/ds1/web-1</datastore>"));
    EXPECT_THAT(first.out, HasSubstr("<tag>pci</tag>"));
    EXPECT_EQ(Count(first.out, "<template>true</template>"), 3u);

    const CommandResult second = Run("--format table");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_THAT(second.out, HasSubstr("36 VMs from the embedded host API"));
    EXPECT_THAT(second.out, HasSubstr("placement of 36 answered from the GUID cache, 0 asked"));
    EXPECT_THAT(second.out, HasSubstr("vm-1246   backup-6"));
}

TEST_F(VmInventory, FailuresGiveOneClearLineAndAnExitCode) {
    struct Case {
        std::string arguments;
        int exitCode;
        std::string message;
    };
    TempDir dir, other, foreign;
    const std::string shared = PasswordFile(dir, "secret", 0644);
    const std::string wrong = PasswordFile(other, "wrong", 0600);
    const std::string theirs = PasswordFile(foreign, "secret", 0600);
    std::vector<Case> cases = {
        {"--password-file " + shared, 1,
         "vm-inventory: " + shared + ": permissions 0644 let group or others access it"},
        {"--password-file " + dir.Path(), 1, "vm-inventory: " + dir.Path() + ": not a regular"},
        {"--server http://127.0.0.1:1/api", 1, "vm-inventory: no password for http://127.0.0.1"},
        {"--password secret --password-file " + wrong, 2,  // the file wins
         "vm-inventory: logging in: the server refused the credentials (HTTP 401)\n"},
        {"--password wrong", 2,
         "vm-inventory: logging in: the server refused the credentials (HTTP 401)\n"},
        {"--embedded-fault refuse-login", 2,
         "vm-inventory: logging in: the server refused the credentials (HTTP 401)\n"},
        {"--embedded-fault malformed-list", 3, "vm-inventory: VM list page 1: line "},
        {"--embedded-fault endless-list", 3,
         "vm-inventory: VM list: the host counts 4000000000 VMs, more than 10000 pages of 10"},
        {"--password p --server http://127.0.0.1:" + std::to_string(UnusedPort()) + "/api", 2,
         "vm-inventory: logging in: cannot reach the host: Failed to connect"},
        {"--server ftp://host", 1, "vm-inventory: not a server URL: ftp://host\n"},
        {"--ca-file /nonexistent/ca.pem", 2,
         "vm-inventory: cannot connect to the host: CA file [/nonexistent/ca.pem] cannot be read"},
        {"--page-size 0", 1, ""},
    };
    // Root reads a file whatever its mode: only its owner tells another user's file apart.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        cases.push_back({"--password-file " + theirs, 1,
                         "vm-inventory: " + theirs + ": owned by uid 65534, not by this user"});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const CommandResult r = Run(c.arguments);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_THAT(r.err, StartsWith(c.message));
        EXPECT_EQ(r.out, "");
        if (c.exitCode != 1) {
            EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
        }
    }
}

TEST_F(VmInventory, AWrongPasswordGivenAnyWayStaysOutOfOutputAndLog) {
    const std::string marker = "wr0ngPass-7f3a";
    TempDir dir;
    const std::string file = PasswordFile(dir, marker, 0600);
    const std::vector<std::pair<std::string, std::string>> ways = {
        {"VM_INVENTORY_PASSWORD=" + marker, ""},
        {"", "--password-file " + Quote(file)},
        {"", "--password " + marker},
    };
    int runs = 0;
    for (const std::string trace : {"", " --trace"}) {
        for (const auto& [environment, arguments] : ways) {
            SCOPED_TRACE(environment + arguments + trace);
            const std::string log = dir.File("log" + std::to_string(++runs));
            const CommandResult r =
                Run(arguments + " --verbose" + trace,
                    environment + " TQDEBUG_LEVEL=9 TQDEBUG_FILE=" + Quote(log));
            const std::string logged = ReadFileText(log);
            EXPECT_EQ(r.exitCode, 2) << r.err;
            EXPECT_THAT(logged, HasSubstr("/api/v1/session"));  // the login was logged
            // Only the trace shows the request line as it went out.
            EXPECT_EQ(logged.find("POST /api/v1/session HTTP/1.1") != std::string::npos,
                      !trace.empty());
            EXPECT_THAT(r.out, Not(HasSubstr(marker))) << "stdout";
            EXPECT_THAT(r.err, Not(HasSubstr(marker))) << "stderr";
            EXPECT_THAT(logged, Not(HasSubstr(marker))) << "the log file";
        }
    }
}

TEST_F(VmInventory, ExternalEntitiesInResponsesAreNotResolved) {
    TempDir secret;
    const std::string file = secret.File("secret.txt");
    std::ofstream(file) << "TOP-SECRET-CONTENT";
    const CommandResult r = Run("--format table --embedded-fault external-entity:" + file);
    EXPECT_THAT(r.out + r.err, ::testing::Not(HasSubstr("TOP-SECRET-CONTENT")));
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("vm-inventory: VM list page 1: "));
}

TEST_F(VmInventory, ControlCharactersFromTheHostReachNoTerminal) {
    for (const std::string format : {"table", "xml"}) {
        const CommandResult r = Run("--embedded-fault control-name --format " + format);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("web-1\\x1b]0;pwned\\x07"));
        EXPECT_EQ(r.out.find_first_of("\x1b\x07"), std::string::npos) << format;
    }
}

TEST_F(VmInventory, KeepsItsStateInADirectoryOfTheUsersOwn) {
    const auto run = [](const std::string& environment) {
        return RunCommand("env -u VSAGENT_CONFIG -u HOME -u XDG_STATE_HOME -u XDG_RUNTIME_DIR " +
                          environment + " " + Quote(VM_INVENTORY) + " --format table");
    };
    const CommandResult nowhere = run("");  // no shared directory in its place
    EXPECT_EQ(nowhere.exitCode, 1);
    EXPECT_THAT(nowhere.err, StartsWith("vm-inventory: no place for the state directory"));

    const std::string runtime = "XDG_RUNTIME_DIR=" + Quote(state.Path());
    const std::string dir = state.File("vssupport-vm-inventory"), config = dir + "/agent.ini";
    ASSERT_EQ(run(runtime).exitCode, 0);
    struct stat st {};
    EXPECT_EQ(::stat(dir.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0700u);
    // A link at the configuration's name is replaced, not written through.
    std::ofstream(state.File("elsewhere")) << "kept";
    std::filesystem::remove(config);
    std::filesystem::create_symlink(state.File("elsewhere"), config);
    EXPECT_EQ(run(runtime).exitCode, 0);
    EXPECT_EQ(ReadFileText(state.File("elsewhere")), "kept");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(config)));

    ASSERT_EQ(::chmod(dir.c_str(), 0770), 0);
    EXPECT_EQ(run(runtime).exitCode, 4) << "others may write to it";
    if (::geteuid() == 0) {
        ASSERT_EQ(::chmod(dir.c_str(), 0700) | ::chown(dir.c_str(), 65534, -1), 0);
        const CommandResult other = run(runtime);
        EXPECT_EQ(other.exitCode, 4);
        EXPECT_THAT(other.err, HasSubstr(dir + ": owned by uid 65534"));
    }
}

TEST_F(VmInventory, UntrustedCertificateIsRefused) {
    TempDir certs;
    const TlsMaterial tls = MakeTestCertificates(certs.Path());
    TestServer server(tls);
    const std::string url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/api/v1";
    const CommandResult r = Run("--server " + url, "VM_INVENTORY_PASSWORD=p");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr("cannot reach the host: SSL certificate problem"));
    EXPECT_TRUE(server.Requests().empty());
}

// The host reads the login as XML, so a password is whatever characters the client escaped,
// and the escaped text itself is not the password.
TEST(EmbeddedHost, TakesTheLoginPasswordAsTheClientEscapedIt) {
    struct Case {
        std::string hostPassword, given;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"secret", "secret", true},
        {"p&ss\"w<rd>'", "p&ss\"w<rd>'", true},
        {"p&ss", "p&amp;ss", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        HostApiSettings settings;
        settings.password = c.hostPassword;
        HostApiServer host(settings);
        HostEndpoint endpoint;
        ASSERT_TRUE(HostEndpoint::Parse(
            "http://127.0.0.1:" + std::to_string(host.Port()) + "/api/v1", endpoint));
        InventoryClient client(endpoint, kEmbeddedUser, c.given);
        ASSERT_TRUE(client.Open(false, ""));
        std::string body;
        EXPECT_EQ(client.Fetch("vms", body, nullptr), c.accepted) << client.LastError();
        EXPECT_EQ(host.Logins(), c.accepted ? 1u : 0u);
    }
}

// A token or id with a line break would end its header line early, and the rest would reach
// the host as lines or a request of the server's choosing; a NUL would cut the line short.
TEST(InventoryClientHeaders, ATokenOrIdThatWouldSplitItsLineIsNeverSent) {
    struct Case {
        std::string token, requestId, error;
    } const cases[] = {
        {"s1\rDELETE /api/v1/vms HTTP/1.1", "", "logging in: the server's session token holds"},
        {"s1", "page-1\r\nX-Evil: 1", "fetching vms: the request id holds a line break"},
        {"s1", std::string("page-1\0x", 8), "fetching vms: the request id holds a line break"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        std::atomic<int> requests{0};
        RawServer host([&](int fd, int) {
            while (!RawServer::ReadRequestHead(fd).empty()) {
                ++requests;  // before the answer, which the client waits for
                RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nX-Session-Token: " + c.token +
                                             "\r\nContent-Length: 0\r\n\r\n");
            }
        });
        HostEndpoint endpoint;
        ASSERT_TRUE(HostEndpoint::Parse(host.Url("/api/v1"), endpoint));
        InventoryClient client(endpoint, kEmbeddedUser, kEmbeddedPassword);
        ASSERT_TRUE(client.Open(false, ""));
        InventoryRequestOptions options;
        options.requestId = c.requestId;
        std::string body;
        EXPECT_FALSE(client.Fetch("vms", body, &options));
        EXPECT_THAT(client.LastError(), StartsWith(c.error));
        EXPECT_EQ(requests.load(), c.requestId.empty() ? 1 : 0);
    }
}
