// The updater's downloads: bounds, redirects, proxies, Retry-After, 304s and
// resumed builds, a trickle that lets events run.
#include <gtest/gtest.h>

#include "fakes/updater_fixture.h"

namespace quarn {
namespace {

TEST_F(UpdaterFixture, DownloadsReadOneChunkPerStartedKilobyte) {
  for (auto [size, expected] : std::vector<std::pair<size_t, std::vector<int>>>{
           {0, {}}, {1024, {1024}}, {1025, {1024, 1}}, {2048, {1024, 1024}}}) {
    inet.routes["http://h/f"] = fakes::FakeResponse{200, std::string(size, 'x')};
    inet.chunkSizes.clear();
    fs.Put(kTemp + "f.bin", std::string(5000, 'o'));  // a longer old file leaves no tail
    EXPECT_TRUE(updater.BaixaArquivo("  http://h/f  ", kTemp + "f.bin"));
    EXPECT_EQ(inet.chunkSizes, expected) << size;
    EXPECT_EQ(fs.Get(kTemp + "f.bin"), std::string(size, 'x'));
  }
  EXPECT_EQ(inet.requested.back(), "http://h/f");
  EXPECT_GE(loop.IdleCalls(), 8u);  // the wait for the answer let events run
}

TEST_F(UpdaterFixture, RedirectsAreFollowedAsABrowserResolvesThem) {
  const std::string base = "http://h/a/b/f.zip?x=1";
  for (auto [location, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/c/g.zip", "http://h/c/g.zip"},
           {"g.zip", "http://h/a/b/g.zip"},
           {"../g.zip", "http://h/a/g.zip"},
           {"../../../g.zip", "http://h/g.zip"},
           {" ./g.zip?y=2#parte ", "http://h/a/b/g.zip?y=2"},
           {"?y=2", "http://h/a/b/f.zip?y=2"},
           {"//outro:8080/g.zip", "http://outro:8080/g.zip"},
           {"HTTPS://Outro/x/./y/../g.zip", "https://Outro/x/g.zip"},
           {"http://h", "http://h/"},
           {"", ""},
           {"#parte", ""},
           {"ftp://h/g.zip", ""},
           {"file:///c:/g.zip", ""},
           {"http:///g.zip", ""},
       }) {
    EXPECT_EQ(ResolveRedirect(base, location), expected) << location;
  }
  // Each kind of redirect, up to the bound, ends at the body.
  const std::vector<std::pair<int, std::string>> hops = {
      {301, "/r1"}, {302, "r2"}, {303, "//h/r3"}, {307, "HTTP://H:80/r4"}, {308, "/final"}};
  std::string from = "http://h/f";
  for (const auto& [status, location] : hops) {
    inet.routes[from] = fakes::FakeResponse{status, "", true, "", SIZE_MAX, 2, false, location};
    from = ResolveRedirect(from, location);
  }
  inet.routes["http://H:80/final"] = fakes::FakeResponse{200, "corpo"};
  EXPECT_TRUE(updater.BaixaArquivo("http://h/f", kTemp + "f.bin"));
  EXPECT_EQ(fs.Get(kTemp + "f.bin"), "corpo");
  EXPECT_EQ(inet.requested, (std::vector<std::string>{"http://h/f", "http://h/r1", "http://h/r2", "http://h/r3",
                                                      "http://H:80/r4", "http://H:80/final"}));
  // One origin however it is written (the refusals are rows of the server-fault table).
  EXPECT_TRUE(SameOrigin("https://h:443/a", "HTTPS://user@H/b"));
  EXPECT_FALSE(SameOrigin("http://[::1]/a", "http://[::1]:8080/a"));
}

TEST(HttpRules, ProxyAndRetryAfter) {
  // UpdateProxy, then the machine's proxy with its bypass list, then direct.
  const ProxySettings machine{std::nullopt, "10.0.0.1:3128", "<local>;*.corp"};
  struct Row {
    std::optional<std::string> updateProxy;
    std::string proxy, description;
  } rows[] = {
      {std::nullopt, "10.0.0.1:3128",
       "Proxy das atualizações: 10.0.0.1:3128 (proxy WinHTTP da máquina; exceções: <local>;*.corp)"},
      {" proxy.corp:8080 ", "proxy.corp:8080", "Proxy das atualizações: proxy.corp:8080 (UpdateProxy)"},
      {"[::1]:3128", "[::1]:3128", "Proxy das atualizações: [::1]:3128 (UpdateProxy)"},
      {"http://proxy.corp:8080/", "proxy.corp:8080", "Proxy das atualizações: proxy.corp:8080 (UpdateProxy)"},
      {"DIRECT", "", "Proxy das atualizações: nenhum, conexão direta (UpdateProxy = direct)"},
      {"proxy.corp", "10.0.0.1:3128",
       "UpdateProxy inválido (\"proxy.corp\"), ignorado; Proxy das atualizações: 10.0.0.1:3128"},
      {"h:99999", "10.0.0.1:3128", "UpdateProxy inválido (\"h:99999\")"},
      {"http=a:1;https=b:2", "10.0.0.1:3128", "UpdateProxy inválido"},
  };
  for (const auto& r : rows) {
    ProxySettings s = machine;
    s.updateProxy = r.updateProxy;
    const ProxyChoice c = ChooseProxy(s);
    EXPECT_EQ(c.route.proxy, r.proxy) << r.description;
    EXPECT_EQ(c.description.rfind(r.description, 0), 0u) << c.description;
    EXPECT_EQ(c.route.bypass, c.route.proxy == "10.0.0.1:3128" ? "<local>;*.corp" : "");
  }
  EXPECT_EQ(ChooseProxy({}).description, "Proxy das atualizações: nenhum, conexão direta");
  // Retry-After as seconds or a date, a minute to six hours.
  const int64_t now = 1796817600;  // Wed, 09 Dec 2026 12:00:00 GMT
  for (auto [text, seconds] :
       std::vector<std::pair<std::string, std::optional<int64_t>>>{{"120", 120},
                                                                   {"0", 60},
                                                                   {"999999", 21600},
                                                                   {"Wed, 09 Dec 2026 12:30:00 GMT", 1800},
                                                                   {"Wed, 09 Dec 2026 11:00:00 GMT", 60},
                                                                   {"-5", std::nullopt},
                                                                   {"amanhã", std::nullopt},
                                                                   {"Wed, 32 Dec 2026 12:30:00 GMT", std::nullopt},
                                                                   {"", std::nullopt}}) {
    EXPECT_EQ(RetryAfterSeconds(text, now), seconds) << text;
  }
}

TEST_F(UpdaterFixture, AnUnchangedArchiveCostsA304AndACutBuildIsResumed) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "1.0\r\n");
  PublishVersion("service", "1.0\r\n");
  auto& version = inet.routes[kBase + "VersaoQuarnSQLService.zip"];
  version.etag = "\"v1\"";
  server.proxy.machineProxy = "10.0.0.1:3128";
  updater.VerificarSeTemAtualService();
  updater.VerificarSeTemAtualService();
  // The second check asked only if it changed, got a 304 and read the kept copy again.
  ASSERT_EQ(inet.options.size(), 2u);
  EXPECT_EQ(inet.options[1].headers, (decltype(inet.options[1].headers){{"If-None-Match", "\"v1\""}}));
  EXPECT_EQ(inet.options[1].proxy.proxy, "10.0.0.1:3128");
  EXPECT_EQ(updater.VNetService, "1.0");
  // Said once in the general log, not at each check.
  const std::string general = General();
  EXPECT_EQ(general.find("Proxy das atualizações: 10.0.0.1:3128"), general.rfind("Proxy das atualizações"));
  // A day on, the whole archive again: a validator the server failed to change costs a day at most.
  policy.now += 24 * 3600;
  updater.VerificarSeTemAtualService();
  EXPECT_TRUE(inet.options.back().headers.empty());
  // A kept copy that is gone drops its validator: the whole archive again.
  fs.Delete(kTemp + "VersaoQuarnSQLService.zip.mantido");
  updater.VerificarSeTemAtualService();
  EXPECT_TRUE(inet.options.back().headers.empty());

  // A new publication; its build is cut at 90 %, then resumed from there.
  PublishVersion("service", "1.1\r\n");
  const std::string body =
      unzip.Archive(std::string(20000, 'p'), {{"QuarnSQLService.exe", "new service build"}});  // long enough to cut
  Publish("QuarnSQLService.zip", body);
  auto& build = inet.routes[kBase + "QuarnSQLService.zip"];
  build.etag = "\"b1\"";
  build.cutAfter = body.size() * 9 / 10 / 1024 * 1024;
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build");
  EXPECT_EQ(fs.Get(kTemp + "QuarnSQLService.zip.parcial").size(), build.cutAfter);
  build.cutAfter = SIZE_MAX;
  inet.options.clear();
  updater.VerificarSeTemAtualService();
  ASSERT_EQ(inet.options.size(), 2u);
  const auto& asked = inet.options[1].headers;
  EXPECT_EQ(asked[0], (std::pair<std::string, std::string>{
                          "Range", "bytes=" + std::to_string(body.size() * 9 / 10 / 1024 * 1024) + "-"}));
  EXPECT_EQ(asked[1], (std::pair<std::string, std::string>{"If-Range", "\"b1\""}));
  EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "new service build");
  EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.zip.parcial"));

  // A busy server's Retry-After moves the next check; the other program's waits too.
  PassProbation();
  inet.routes[kBase + "VersaoQuarnSQLService.zip"] = {503, "ocupado"};
  inet.routes[kBase + "VersaoQuarnSQLService.zip"].headers["Retry-After"] = "900";
  updater.VerificarSeTemAtualService();
  EXPECT_EQ(updater.ServerWaitMs(), 900000u);
  const size_t asks = inet.requested.size();
  updater.VerificarSeTemAtualExe();
  EXPECT_EQ(inet.requested.size(), asks);
  EXPECT_NE(General().find(
                "pediu nova tentativa mais tarde (Retry-After: 900): a próxima verificação fica para daqui a 900 s."),
            std::string::npos);
  loop.Advance(900000);
  EXPECT_FALSE(updater.ServerWaitMs());
}

TEST_F(UpdaterFixture, ATrickleLetsEventsRunAndAStopEndsTheDownloadWithNothingLeft) {
  inet.routes["http://h/f"] =
      fakes::FakeResponse{200, std::string(10 * 1024, 'x'), true, "", SIZE_MAX, 2, false, "", 100};  // a chunk a second
  int ticks = 0;
  long nested = 0;
  auto heartbeat = loop.CreateTimer(1000, [&] {
    if (++ticks == 1) {
      try {
        updater.BaixaArquivo("http://h/f", kTemp + "g.bin");
      } catch (const VbError& e) {
        nested = e.Number();
      }
    }
    if (ticks == 4) loop.EndProgram();  // the service's Stop
  });
  heartbeat->SetEnabled(true);
  EXPECT_THROW(updater.BaixaArquivo("http://h/f", kTemp + "f.bin"), ProgramEnd);
  EXPECT_EQ(ticks, 4);
  EXPECT_EQ(nested, 35764);  // the transfer is busy: no second request from inside the first
  EXPECT_EQ(inet.requested.size(), 1u);
  EXPECT_LT(inet.chunkSizes.size(), 10u);
  EXPECT_GE(inet.cancels, 1);
  EXPECT_FALSE(fs.Has(kTemp + "f.bin"));
  EXPECT_FALSE(fs.Has(kTemp + "g.bin"));
}

TEST_F(UpdaterFixture, ABuildBeyondItsBoundsEndsTheUpdateWithNothingReplaced) {
  struct Case {
    const char* name;
    fakes::FakeResponse response;
    std::string report;
  };
  const std::string build = unzip.Archive("QuarnSQLService.zip", {{"QuarnSQLService.exe", "new"}});
  const std::vector<Case> cases = {
      {"length over the cap",
       {200, build, true, "268435457"},
       "Update Sistema QuarnSQLService 6-O tamanho anunciado (Content-Length 268435457) excede o limite de 268435456 "
       "bytes"},
      {"trickle past the deadline",
       {200, std::string(100 * 1024, 'x'), true, "", SIZE_MAX, 2, false, "", 700},
       "Update Sistema QuarnSQLService 35761-O download excedeu o tempo máximo de 600 s: " + kBase +
           "QuarnSQLService.zip"},
  };
  EXPECT_EQ(DownloadLimitsFor(kBase + "VersaoQuarnSqlMonitor.zip").maxBytes, 64 * 1024);
  EXPECT_EQ(DownloadLimitsFor(kBase + "QuarnSQLMonitor.zip").maxBytes, 256 * 1024 * 1024);
  PublishVersion("service", "2.0");
  for (const auto& c : cases) {
    inet.routes[kBase + "QuarnSQLService.zip"] = c.response;
    inet.chunkSizes.clear();
    const uint64_t t0 = loop.TickMs();
    updater.VerificarSeTemAtualService();
    EXPECT_EQ(Formatted().back(), (Line{kCorVermelha, c.report})) << c.name;
    EXPECT_LE(loop.TickMs() - t0, kBuildArchiveLimits.deadlineMs + 1000) << c.name;
    // Refused before reading: the one chunk read is the version record's.
    if (c.response.lengthText.size()) {
      EXPECT_EQ(inet.chunkSizes.size(), 1u) << c.name;
    }
    EXPECT_FALSE(fs.Has(kTemp + "QuarnSQLService.zip")) << c.name;
    EXPECT_EQ(fs.Get(kApp + "\\QuarnSQLService.exe"), "old service build") << c.name;
    EXPECT_TRUE(procs.terminated.empty()) << c.name;
    EXPECT_TRUE(watchdog->Enabled()) << c.name;
  }
}

TEST_F(UpdaterFixture, ContentLengthTexts) {
  EXPECT_EQ(ParseContentLength("0"), 0);
  EXPECT_EQ(ParseContentLength(" 1025 "), 1025);
  EXPECT_EQ(ParseContentLength("+7"), 7);
  EXPECT_EQ(ParseContentLength("2147483647"), INT32_MAX);
  for (const char* bad : {"", " ", "-1", "1e3", "12abc", "0x10", "2147483648"}) {
    EXPECT_THROW(ParseContentLength(bad), VbError) << bad;
  }
}

}  // namespace
}  // namespace quarn
