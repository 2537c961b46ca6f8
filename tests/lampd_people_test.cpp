// People behind every HTTP action: a users file written by `lampd passwd`
// and `lampd token`, roles that decide what each may do (403 with the
// reason otherwise, recorded with the person), sessions signed in and out,
// wrong passwords slowed and counted, the file read again on SIGHUP, and a
// trusted proxy's header taken from the proxy alone. A real lampd, a real
// unit, requests as a browser or a script sends them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"

namespace {

using lamptest::HttpAs;
using lamptest::HttpReply;
using lamptest::LampdProcess;
using lamptest::OwnFile;
using nlohmann::json;
using namespace std::chrono_literals;

// A password's line for `name` in `file`; false when lampd passwd fails.
bool Passwd(const std::string& file, const std::string& name, const std::string& role,
            const std::string& password, const std::string& groups = "") {
  const std::string command = "printf '%s\\n' '" + password + "' | " + LAMPD_PATH +
                              " passwd --users " + file + " " + name + " " + role +
                              (groups.empty() ? "" : " --groups " + groups);
  return lamptest::RunProgram({"/bin/sh", "-c", command}, {}).status == 0;
}

// A token's line; the token lampd printed once.
std::string Token(const std::string& file, const std::string& name, const std::string& role) {
  const auto made = lamptest::RunProgram({LAMPD_PATH, "token", "--users", file, name, role}, {});
  return made.status == 0 && made.out.size() > 1 ? made.out.substr(0, made.out.size() - 1) : "";
}

HttpReply With(const std::string& method, const std::string& path, const std::string& body,
               const std::string& header, const std::string& value) {
  return HttpAs(method, path, body, {{header, value}});
}

// press-3 is line1's, press-4 line2's.
std::string Plant(const std::string& http, const std::string& journal = "") {
  return lamptest::InstanceConfig(
      "line1", 1883,
      lamptest::Unit("press-3", "192.168.10.200") + lamptest::Unit("press-4", "192.168.10.201") +
          "[groups]\nline1 = [\"press-3\"]\nline2 = [\"press-4\"]\n" +
          (journal.empty() ? "" : "[journal]\npath = \"" + journal + "\"\n"),
      "", "listen = \"127.0.0.1:9730\"\n" + http);
}

class LampdPeople : public lamptest::PlantTest {
 protected:
  void SetUp() override {
    PlantTest::SetUp();
    ASSERT_TRUE(second.Ready());
  }
  lamptest::LampUnitProcess second{{"--address", "192.168.10.201"}};
};

TEST_F(LampdPeople, EachRoleDoesWhatItMayAndTheJournalNamesThePerson) {
  const std::string users = OwnFile("users");
  ASSERT_TRUE(Passwd(users, "ada", "operator", "ada-secret-1", "line1"));
  // The service reads the file through its group: a line written keeps the
  // file's group and mode.
  ASSERT_EQ(::chown(users.c_str(), static_cast<uid_t>(-1), 1), 0);
  ASSERT_EQ(::chmod(users.c_str(), 0640), 0);
  ASSERT_TRUE(Passwd(users, "bob", "supervisor", "bob-secret-1"));
  struct stat kept {};
  ASSERT_EQ(::stat(users.c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mode & 0777, 0640u);
  EXPECT_EQ(kept.st_gid, 1u);
  const std::string wall = Token(users, "wall", "viewer");
  const std::string lead = Token(users, "lead", "supervisor");
  ASSERT_EQ(wall.size(), 64u);
  std::stringstream file;
  file << std::ifstream(users).rdbuf();
  EXPECT_EQ(file.str().find("ada-secret-1"), std::string::npos) << "a password kept in clear";
  EXPECT_EQ(file.str().find(wall), std::string::npos) << "a token kept in clear";

  const std::string journal = OwnFile("journal.jsonl");
  LampdProcess lampd(Plant("users_file = \"" + users + "\"\nsession = \"1h\"\n", journal));
  ASSERT_TRUE(lamptest::WaitUntil([] { return lamptest::Http("GET", "/metrics").status == 200; }))
      << lampd.Log();
  ASSERT_TRUE(lamptest::StateOf(probe, "press-3"));

  // Nobody: the page and the metrics, nothing else.
  EXPECT_EQ(lamptest::Http("GET", "/").status, 200);
  EXPECT_EQ(lamptest::Http("GET", "/api/units").status, 401);
  EXPECT_EQ(lamptest::Http("GET", "/api/units", "", "not-a-token").status, 401);

  // The wall display sees, and may change nothing.
  EXPECT_EQ(lamptest::Http("GET", "/api/units", "", wall).status, 200);
  const HttpReply viewed = lamptest::Http("PUT", "/api/units/press-3", R"({"red": "on"})", wall);
  EXPECT_EQ(viewed.status, 403) << viewed.body;
  EXPECT_NE(viewed.Json().value("error", "").find("viewer wall may not"), std::string::npos);

  // ada signs in: a session cookie as a browser keeps it.
  const HttpReply signedIn =
      HttpAs("POST", "/api/session", R"({"name": "ada", "password": "ada-secret-1"})");
  ASSERT_EQ(signedIn.status, 200) << signedIn.body;
  const std::string cookie = signedIn.headers.at("set-cookie");
  for (const char* attribute : {"HttpOnly", "SameSite=Strict", "Path=/", "Max-Age=3600"}) {
    EXPECT_NE(cookie.find(attribute), std::string::npos) << cookie;
  }
  const std::string session = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(With("GET", "/api/session", "", "Cookie", session).Json()["role"], "operator");
  // Her line's unit she holds and answers for, whatever the page says her name is.
  HttpReply held =
      With("PUT", "/api/units/press-3",
           R"({"red": "blink", "sound": 1, "for": "1h", "source": "andon"})", "Cookie", session);
  ASSERT_EQ(held.status, 200) << held.body;
  held = With("POST", "/api/units/press-3/ack", R"({"by": "somebody-else"})", "Cookie", session);
  ASSERT_EQ(held.status, 200) << held.body;
  const json state = lamptest::Http("GET", "/api/units/press-3", "", lead).Json();
  EXPECT_EQ(state["leases"][0]["acknowledged"]["by"], "ada") << state.dump();
  // Not line 2's unit, and no reset.
  EXPECT_EQ(With("PUT", "/api/units/press-4", R"({"red": "on"})", "Cookie", session).status, 403);
  EXPECT_EQ(With("PUT", "/api/units/press-3", R"({"reset": true})", "Cookie", session).status, 403);
  // A supervisor clears the lease and commands a group.
  EXPECT_EQ(lamptest::Http("PUT", "/api/units/press-3", R"({"clear": "andon"})", lead).status, 200);
  EXPECT_EQ(lamptest::Http("POST", "/api/groups/line2", R"({"blue": "on"})", lead).status, 200);

  // Signed out, the cookie opens nothing.
  EXPECT_EQ(With("DELETE", "/api/session", "", "Cookie", session).status, 200);
  EXPECT_EQ(With("GET", "/api/units", "", "Cookie", session).status, 401);

  // The journal names the person, and the refusals with theirs.
  EXPECT_TRUE(lamptest::WaitUntil([&] {
    std::stringstream recorded;
    recorded << std::ifstream(journal).rdbuf();
    return recorded.str().find(R"("who":"ada")") != std::string::npos &&
           recorded.str().find(R"("who":"wall")") != std::string::npos;
  })) << lampd.Log();
  std::stringstream recorded;
  recorded << std::ifstream(journal).rdbuf();
  EXPECT_EQ(recorded.str().find("somebody-else"), std::string::npos);
  EXPECT_EQ(recorded.str().find("ada-secret-1"), std::string::npos);
}

TEST_F(LampdPeople, WrongPasswordsAreSlowedAndALineRemovedEndsItsSessions) {
  const std::string users = OwnFile("users");
  ASSERT_TRUE(Passwd(users, "ada", "operator", "ada-secret-1"));
  ASSERT_TRUE(Passwd(users, "bob", "viewer", "bob-secret-1"));
  LampdProcess lampd(Plant("users_file = \"" + users + "\"\n"));
  ASSERT_TRUE(lamptest::WaitUntil([] { return lamptest::Http("GET", "/metrics").status == 200; }))
      << lampd.Log();
  const auto signIn = [](const std::string& name, const std::string& password,
                         const std::string& from = "127.0.0.1") {
    return HttpAs("POST", "/api/session", json{{"name", name}, {"password", password}}.dump(), {},
                  from);
  };
  // Five wrong ones, then each attempt waits, the right password too.
  for (int attempt = 0; attempt < 5; ++attempt) {
    EXPECT_EQ(signIn("ada", "guess").status, 401);
  }
  const HttpReply held = signIn("ada", "ada-secret-1");
  EXPECT_EQ(held.status, 429) << held.body;
  EXPECT_TRUE(held.headers.contains("retry-after"));
  // From another address too: the name is held; another name from there is not.
  EXPECT_EQ(signIn("ada", "ada-secret-1", "127.0.0.9").status, 429);
  const HttpReply bob = signIn("bob", "bob-secret-1", "127.0.0.9");
  ASSERT_EQ(bob.status, 200) << bob.body;
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_http_sign_ins_total{outcome=\"wrong\"} 5\n") != std::string::npos &&
           text.find("lampd_http_sign_ins_total{outcome=\"held\"} 2\n") != std::string::npos;
  }));

  // bob's line goes, and with it his session, on SIGHUP.
  const std::string session =
      bob.headers.at("set-cookie").substr(0, bob.headers.at("set-cookie").find(';'));
  ASSERT_EQ(With("GET", "/api/units", "", "Cookie", session).status, 200);
  {
    std::stringstream kept;
    std::ifstream file(users);
    for (std::string line; std::getline(file, line);) {
      if (!line.starts_with("bob:")) kept << line << "\n";
    }
    std::ofstream(users) << kept.str();
  }
  ::kill(lampd.Pid(), SIGHUP);
  EXPECT_TRUE(lamptest::WaitUntil(
      [&] { return With("GET", "/api/units", "", "Cookie", session).status == 401; }));
  EXPECT_TRUE(lampd.Running());
}

TEST_F(LampdPeople, ATrustedProxyNamesThePersonAndNobodyElseMay) {
  const std::string users = OwnFile("users");
  ASSERT_TRUE(Passwd(users, "ada", "supervisor", "ada-secret-1"));
  LampdProcess lampd(
      Plant("users_file = \"" + users +
            "\"\nproxy_header = \"X-Forwarded-User\"\nproxy_from = [\"127.0.0.2\"]\n"));
  ASSERT_TRUE(lamptest::WaitUntil([] { return lamptest::Http("GET", "/metrics").status == 200; }))
      << lampd.Log();
  const auto asProxy = [](const std::string& from, const std::string& name) {
    return HttpAs("GET", "/api/session", "", {{"X-Forwarded-User", name}}, from);
  };
  const HttpReply taken = asProxy("127.0.0.2", "ada");
  EXPECT_EQ(taken.status, 200) << taken.body;
  EXPECT_EQ(taken.Json().value("name", ""), "ada");
  EXPECT_EQ(asProxy("127.0.0.2", "mallory").status, 403);
  const HttpReply forged = asProxy("127.0.0.1", "ada");
  EXPECT_EQ(forged.status, 403) << forged.body;
  EXPECT_NE(forged.Json().value("error", "").find("only from the configured proxies"),
            std::string::npos);
}

// What `openssl s_client` tells of a handshake with lampd offering only `version`.
std::string Handshake(const std::string& version) {
  return lamptest::RunProgram({"/bin/sh", "-c",
                               "echo | openssl s_client -connect 127.0.0.1:9730 -servername "
                               "localhost " +
                                   version + " -cipher DEFAULT@SECLEVEL=0 2>&1"},
                              {})
      .out;
}

// curl with `more` of its options and the URL: the status line and headers (-i) too.
lamptest::ProgramRun Curl(const std::vector<std::string>& more) {
  std::vector<std::string> command = {"/usr/bin/curl", "-sS", "-i", "--max-time", "10"};
  command.insert(command.end(), more.begin(), more.end());
  return lamptest::RunProgram(command, {});
}

TEST_F(LampdPeople, HttpsOnlyWithTls12And13ItsCertificateRenewedOnSighupAndPlainHttpRedirected) {
  const std::string certificate = OwnFile("lampd.crt"), key = OwnFile("lampd.key");
  ASSERT_TRUE(lamptest::MakeCertificate(certificate, key, "lampd-first"));
  const std::string users = OwnFile("users");
  ASSERT_TRUE(Passwd(users, "ada", "operator", "ada-secret-1"));
  const std::string lead = Token(users, "lead", "supervisor");
  LampdProcess lampd(Plant("users_file = \"" + users + "\"\ntls_certificate = \"" + certificate +
                           "\"\ntls_key = \"" + key +
                           "\"\nredirect_listen = \"127.0.0.1:9731\"\n"));
  const std::string url = "https://localhost:9730";
  const auto trusted = [&](const std::vector<std::string>& more) {
    std::vector<std::string> command = {"--cacert", certificate};
    command.insert(command.end(), more.begin(), more.end());
    return Curl(command);
  };
  ASSERT_TRUE(lamptest::WaitUntil([&] {
    return trusted({url + "/metrics"}).out.starts_with("HTTP/1.1 200");
  })) << lampd.Log();

  // TLS 1.2 and 1.3; nothing older, even offered alone.
  EXPECT_NE(Handshake("-tls1_3").find("New, TLSv1.3, Cipher is"), std::string::npos);
  EXPECT_NE(Handshake("-tls1_2").find("New, TLSv1.2, Cipher is"), std::string::npos);
  for (const char* old : {"-tls1_1", "-tls1"}) {
    const std::string told = Handshake(old);
    EXPECT_NE(told.find("New, (NONE), Cipher is (NONE)"), std::string::npos) << old << told;
  }
  EXPECT_NE(Handshake("").find("CN = lampd-first"), std::string::npos);

  // The API over HTTPS, a certificate curl checks; plain HTTP on the same port is not served.
  const auto units = trusted({"-H", "Authorization: Bearer " + lead, url + "/api/units"});
  EXPECT_TRUE(units.out.starts_with("HTTP/1.1 200")) << units.out << units.err;
  EXPECT_NE(units.out.find("press-3"), std::string::npos);
  EXPECT_EQ(Curl({"http://127.0.0.1:9730/metrics"}).out.find("HTTP/1.1 200"), std::string::npos);
  // The session cookie is never sent over plain HTTP.
  const auto signedIn =
      trusted({"-H", "Content-Type: application/json", "--data",
               R"({"name": "ada", "password": "ada-secret-1"})", url + "/api/session"});
  ASSERT_TRUE(signedIn.out.starts_with("HTTP/1.1 200")) << signedIn.out;
  EXPECT_NE(signedIn.out.find("; Secure"), std::string::npos) << signedIn.out;

  // Plain HTTP on redirect_listen is sent on to HTTPS, path and query kept.
  const auto redirected = Curl({"http://127.0.0.1:9731/console/?unit=press%203"});
  EXPECT_TRUE(redirected.out.starts_with("HTTP/1.1 308")) << redirected.out;
  EXPECT_NE(redirected.out.find("Location: https://127.0.0.1:9730/console/?unit=press%203"),
            std::string::npos)
      << redirected.out;
  EXPECT_TRUE(Curl({"-L", "--cacert", certificate, "http://localhost:9731/metrics"})
                  .out.find("HTTP/1.1 200") != std::string::npos);

  // A renewed certificate is served after SIGHUP; a bad one leaves the old serving.
  ASSERT_TRUE(lamptest::MakeCertificate(certificate, key, "lampd-renewed"));
  ::kill(lampd.Pid(), SIGHUP);
  EXPECT_TRUE(lamptest::WaitUntil([&] {
    return Handshake("").find("CN = lampd-renewed") != std::string::npos;
  })) << lampd.Log();
  std::ofstream(key) << "not a key\n";
  ::kill(lampd.Pid(), SIGHUP);
  EXPECT_TRUE(lampd.WaitForLog("the old ones serve on")) << lampd.Log();
  EXPECT_TRUE(trusted({url + "/metrics"}).out.starts_with("HTTP/1.1 200"));
}

}  // namespace
