// URL records: parsing, construction, parameters.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alloc_hook.h"
#include "tarnu/url.h"

namespace {

struct UrlFree {
  void operator()(Url *url) const { url_free(&url); }
};
using UrlPtr = std::unique_ptr<Url, UrlFree>;

struct Parsed {
  int status;
  UrlPtr url;
};

Parsed Parse(const std::string &text) {
  Url *url = reinterpret_cast<Url *>(1);
  std::string copy = text;
  const int status = url_new_parse(&url, copy.data());
  if (status != 0) {
    EXPECT_EQ(url, nullptr) << text;
  }
  return {status, UrlPtr(status == 0 ? url : nullptr)};
}

std::string Get(int (*getter)(Url *, char **), Url *url) {
  char *value = nullptr;
  EXPECT_EQ(getter(url, &value), 0);
  return value != nullptr ? value : "<null>";
}

int Port(Url *url) {
  int port = -1;
  EXPECT_EQ(url_get_port(url, &port), 0);
  return port;
}

// name -> value ("<none>" for a parameter without value), in list order.
std::vector<std::pair<std::string, std::string>> Params(Url *url) {
  std::vector<std::pair<std::string, std::string>> params;
  for (Attribute *node = url->attrib; node != nullptr; node = node->next) {
    params.emplace_back(node->name, node->value != nullptr ? node->value : "<none>");
  }
  return params;
}

std::optional<std::string> Construct(Url *url, int *status_out = nullptr) {
  char *text = reinterpret_cast<char *>(1);
  const int status = url_construct(url, &text);
  if (status_out != nullptr) *status_out = status;
  if (status != 0) {
    EXPECT_EQ(text, nullptr);
    return std::nullopt;
  }
  std::string result(text);
  std::free(text);
  return result;
}

// The services database's TCP port for `name`, or 0.
int ServicePort(const char *name) {
  servent *entry = getservbyname(name, "tcp");
  return entry != nullptr ? ntohs(static_cast<uint16_t>(entry->s_port)) : 0;
}

using ParamList = std::vector<std::pair<std::string, std::string>>;

TEST(UrlParse, FullUrl) {
  Parsed p = Parse("proto://srv:8080/a/b?x=1&y=2");
  ASSERT_EQ(p.status, 0);
  EXPECT_EQ(Get(url_get_protocol, p.url.get()), "proto");
  EXPECT_EQ(Get(url_get_hostname, p.url.get()), "srv");
  EXPECT_EQ(Port(p.url.get()), 8080);
  EXPECT_EQ(Get(url_get_path, p.url.get()), "a/b");
  EXPECT_EQ(Params(p.url.get()), (ParamList{{"y", "2"}, {"x", "1"}}));
  EXPECT_EQ(Construct(p.url.get()), "proto://srv:8080/a/b?y=2&x=1");
}

TEST(UrlParse, SlashesAfterProtocolAreOptional) {
  Parsed p = Parse("proto:srv");
  ASSERT_EQ(p.status, 0);
  EXPECT_EQ(Get(url_get_hostname, p.url.get()), "srv");
  EXPECT_EQ(Port(p.url.get()), 0);
  EXPECT_EQ(p.url->path, nullptr);
  EXPECT_EQ(Get(url_get_path, p.url.get()), "");
  EXPECT_EQ(Construct(p.url.get()), "proto://srv/");
  Parsed many = Parse("proto:////srv///x");
  ASSERT_EQ(many.status, 0);
  EXPECT_EQ(Get(url_get_path, many.url.get()), "x");
}

TEST(UrlParse, PortText) {
  EXPECT_EQ(Port(Parse("proto://srv:80x/").url.get()), 80);
  EXPECT_EQ(Port(Parse("proto://srv:8:9/").url.get()), 8);
  EXPECT_EQ(Port(Parse("proto://srv:+81/").url.get()), 81);
  EXPECT_EQ(Port(Parse("proto://srv:65535/").url.get()), 65535);
  EXPECT_EQ(Port(Parse("proto://srv:0/").url.get()), 0);
  EXPECT_EQ(Port(Parse("proto://srv:nosuch/").url.get()), 0);
}

TEST(UrlParse, PortByServiceName) {
  const int ftp = ServicePort("ftp");
  if (ftp == 0) GTEST_SKIP() << "no ftp entry in the services database";
  EXPECT_EQ(Port(Parse("proto://srv:ftp/").url.get()), ftp);
}

TEST(UrlParse, PortOutsideRangeIsRefused) {
  for (const char *text : {"proto://srv:65536/", "proto://srv:-1/", "proto://srv:-80/p",
                           "proto://srv:99999999999999999999/", "proto://srv:4294967376/"}) {
    EXPECT_EQ(Parse(text).status, 22) << text;
  }
}

TEST(UrlParse, QueryRules) {
  Parsed empty_path = Parse("proto://srv/?a=1");
  EXPECT_EQ(Get(url_get_path, empty_path.url.get()), "a=1");
  EXPECT_EQ(empty_path.url->attrib, nullptr);

  EXPECT_EQ(Params(Parse("proto://srv/p?a=1&a=2").url.get()), (ParamList{{"a", "1"}}));
  EXPECT_EQ(Params(Parse("proto://srv/p?a=1=2").url.get()), (ParamList{{"a", "1=2"}}));
  EXPECT_EQ(Params(Parse("proto://srv/p?a=&&b").url.get()),
            (ParamList{{"b", "<none>"}, {"a", "<none>"}}));
  EXPECT_EQ(Parse("proto://srv/p?&&").url->attrib, nullptr);

  Parsed flag = Parse("proto://srv/p?flag");
  char name[] = "flag";
  char *value = reinterpret_cast<char *>(1);
  EXPECT_EQ(url_has_param(flag.url.get(), name), 1);
  EXPECT_EQ(url_get_param(flag.url.get(), name, &value), 2);
  EXPECT_EQ(value, nullptr);
}

TEST(UrlParse, ThirtySecondParameterTakesTheRest) {
  std::string text = "proto://srv/p?";
  for (int i = 1; i <= 34; ++i) {
    // Appended piece by piece: GCC 12 at -O3 takes "k" + std::to_string(i)
    // for an overlapping copy (a false -Wrestrict).
    text += 'k';
    text += std::to_string(i);
    text += "=v&";
  }
  Parsed p = Parse(text);
  ASSERT_EQ(p.status, 0);
  const ParamList params = Params(p.url.get());
  ASSERT_EQ(params.size(), 32u);
  EXPECT_EQ(params.front(), (std::pair<std::string, std::string>{"k32", "v&k33=v&k34=v&"}));
  EXPECT_EQ(params.back().first, "k1");
}

// Text that leaves out a piece the record needs is refused; nothing leaks
// (LeakSanitizer) and no nameless parameter is created.
TEST(UrlParse, MissingPiecesAreRefused) {
  for (const char *text :
       {"", ":", ":::", "proto", "proto:", "proto:///", "proto:/", "proto://srv/?",
        "proto://srv/???", "proto://srv/p?=", "proto://srv/p?===", "proto://srv/p?=x",
        "proto://srv/p?a=1&=2&b=3", ":proto://srv/", "::srv:80", "proto://:80/", "proto://:/"}) {
    EXPECT_EQ(Parse(text).status, 22) << '"' << text << '"';
  }
}

TEST(UrlParse, NullArgumentsAreRefused) {
  Url *url = nullptr;
  char text[] = "proto://srv/";
  EXPECT_EQ(url_new_parse(nullptr, text), 22);
  EXPECT_EQ(url_new_parse(&url, nullptr), 22);
}

// Parsing, constructing and parsing again keeps every piece; the parameter
// order reverses with each pass, so two passes restore the text.
TEST(UrlRoundTrip, ParseConstructParse) {
  for (const char *text :
       {"proto://srv:8080/a/b?x=1&y=2", "proto://srv/", "http://example.org:80/index.html",
        "p://h/path/with=eq&amp?z=1&flag&w=a=b", "p://h:1/x?q", "file://host/a:b/c"}) {
    Parsed first = Parse(text);
    ASSERT_EQ(first.status, 0) << text;
    const auto once = Construct(first.url.get());
    ASSERT_TRUE(once.has_value());
    Parsed second = Parse(*once);
    ASSERT_EQ(second.status, 0) << *once;
    EXPECT_EQ(Get(url_get_protocol, second.url.get()), Get(url_get_protocol, first.url.get()));
    EXPECT_EQ(Get(url_get_hostname, second.url.get()), Get(url_get_hostname, first.url.get()));
    EXPECT_EQ(Port(second.url.get()), Port(first.url.get()));
    EXPECT_EQ(Get(url_get_path, second.url.get()), Get(url_get_path, first.url.get()));
    ParamList reversed = Params(first.url.get());
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(Params(second.url.get()), reversed) << text;
    EXPECT_EQ(Construct(Parse(*Construct(second.url.get())).url.get()), once);
  }
}

TEST(UrlConstruct, ParameterWithoutValueIsWrittenAsItsName) {
  Parsed p = Parse("proto://h/p?flag&x=1");
  EXPECT_EQ(Construct(p.url.get()), "proto://h/p?x=1&flag");
}

// A name or value ending in "?" must not swallow the "&" after it.
TEST(UrlConstruct, RegressionParameterEndingInQuestionMarkKeepsSeparator) {
  Parsed p = Parse("p://h/x?q/b&lang=en&pag?&v=w?");
  ASSERT_EQ(p.status, 0);
  const auto text = Construct(p.url.get());
  EXPECT_EQ(text, "p://h/x?v=w?&pag?&lang=en&q/b");
  Parsed again = Parse(*text);
  EXPECT_EQ(Params(again.url.get()).size(), 4u);
}

TEST(UrlConstruct, ParametersNeedAPath) {
  Url *raw = nullptr;
  char protocol[] = "proto", host[] = "host", name[] = "a", value[] = "1";
  ASSERT_EQ(url_new(&raw, protocol, host, nullptr, 0), 0);
  UrlPtr url(raw);
  ASSERT_EQ(url_add_param(url.get(), name, value), 0);
  EXPECT_EQ(url_add_param(url.get(), name, value), 17);
  EXPECT_EQ(Params(url.get()).size(), 1u);
  EXPECT_EQ(Construct(url.get()), "proto://host/");
}

TEST(UrlConstruct, PortIsWrittenWheneverNonZero) {
  Url *raw = nullptr;
  char protocol[] = "http", host[] = "h", path[] = "";
  ASSERT_EQ(url_new(&raw, protocol, host, path, 80), 0);
  UrlPtr url(raw);
  EXPECT_EQ(Construct(url.get()), "http://h:80/");
}

TEST(UrlConstruct, LengthLimitIs255Characters) {
  char protocol[] = "p";
  std::string host(250, 'h');  // "p://" + host + "/" = 255 characters
  Url *raw = nullptr;
  ASSERT_EQ(url_new(&raw, protocol, host.data(), nullptr, 0), 0);
  UrlPtr fits(raw);
  EXPECT_EQ(Construct(fits.get())->size(), 255u);

  host += 'h';
  ASSERT_EQ(url_new(&raw, protocol, host.data(), nullptr, 0), 0);
  UrlPtr too_long(raw);
  int status = 0;
  EXPECT_EQ(Construct(too_long.get(), &status), std::nullopt);
  EXPECT_EQ(status, 75);

  std::string path(250, 'x');
  ASSERT_EQ(url_new(&raw, protocol, protocol, path.data(), 0), 0);  // 6 + 250 = 256
  UrlPtr long_path(raw);
  EXPECT_EQ(Construct(long_path.get(), &status), std::nullopt);
  EXPECT_EQ(status, 75);

  path.resize(246);  // 6 + 246 = 252; "?a=1" needs 4 more
  char name[] = "a", value[] = "1";
  ASSERT_EQ(url_new(&raw, protocol, protocol, path.data(), 0), 0);
  UrlPtr long_query(raw);
  ASSERT_EQ(url_add_param(long_query.get(), name, value), 0);
  EXPECT_EQ(Construct(long_query.get(), &status), std::nullopt);
  EXPECT_EQ(status, 75);
  path.resize(245);
  ASSERT_EQ(url_new(&raw, protocol, protocol, path.data(), 0), 0);
  UrlPtr just_fits(raw);
  ASSERT_EQ(url_add_param(just_fits.get(), name, value), 0);
  EXPECT_EQ(Construct(just_fits.get())->size(), 255u);
}

TEST(UrlAttribAppend, SeparatorAndLimits) {
  Attribute *list = nullptr;
  char a[] = "a", one[] = "1", b[] = "b";
  list = attribute_add(list, a, one);
  char buffer[16] = "x?";
  LString out{buffer, sizeof buffer};
  EXPECT_EQ(url_attrib_append(list, &out), 0);
  EXPECT_STREQ(buffer, "x?a=1");
  EXPECT_EQ(url_attrib_append(list, &out), 0);
  EXPECT_STREQ(buffer, "x?a=1&a=1");
  list = attribute_add(list, b, nullptr);
  EXPECT_EQ(url_attrib_append(list, &out), 0);
  EXPECT_STREQ(buffer, "x?a=1&a=1&b");
  out.alloclen = 14;  // "&a=1" and the terminator need 5, 3 are left
  EXPECT_EQ(url_attrib_append(list->next, &out), 75);
  EXPECT_STREQ(buffer, "x?a=1&a=1&b");
  out.alloclen = 5;  // not terminated inside the stated capacity
  EXPECT_EQ(url_attrib_append(list, &out), 22);
  EXPECT_EQ(url_attrib_append(nullptr, &out), 22);
  EXPECT_EQ(url_attrib_append(list, nullptr), 22);
  attribute_freeall(&list);
}

TEST(UrlAccessors, NullArgumentsAreRefused) {
  Url *raw = nullptr;
  char protocol[] = "p", host[] = "h", name[] = "n";
  char *text = nullptr;
  ASSERT_EQ(url_new(&raw, protocol, host, nullptr, 0), 0);
  UrlPtr url(raw);
  EXPECT_EQ(url_new(nullptr, protocol, host, nullptr, 0), 22);
  EXPECT_EQ(url_new(&raw, nullptr, host, nullptr, 0), 22);
  EXPECT_EQ(url_new(&raw, protocol, nullptr, nullptr, 0), 22);
  EXPECT_EQ(url_get_protocol(nullptr, &text), 22);
  EXPECT_EQ(url_get_hostname(url.get(), nullptr), 22);
  EXPECT_EQ(url_get_path(nullptr, &text), 22);
  EXPECT_EQ(url_get_port(url.get(), nullptr), 22);
  EXPECT_EQ(url_has_param(url.get(), nullptr), 22);
  EXPECT_EQ(url_has_param(url.get(), name), 0);
  EXPECT_EQ(url_get_param(url.get(), name, nullptr), 22);
  EXPECT_EQ(url_get_param(url.get(), name, &text), 2);
  EXPECT_EQ(url_add_param(url.get(), name, nullptr), 22);
  EXPECT_EQ(url_construct(nullptr, &text), 22);
  EXPECT_EQ(url_construct(url.get(), nullptr), 22);
  EXPECT_EQ(url_free(nullptr), 22);
  Url *none = nullptr;
  EXPECT_EQ(url_free(&none), 22);
}

// Runs `operation` with the N-th allocation failing, N = 1, 2, ... until it
// succeeds; every failure must report 12 (LeakSanitizer checks the leaks).
template <typename Operation>
void ForEachFailingAllocation(Operation operation) {
  for (long n = 1;; ++n) {
    tarnu_alloc_hook_fail_at(n);
    const int status = operation();
    tarnu_alloc_hook_reset();
    if (status == 0) return;
    ASSERT_EQ(status, 12) << "allocation " << n;
    ASSERT_LT(n, 1000);
  }
}

TEST(UrlMemory, ParseFailuresLeakNothing) {
  ForEachFailingAllocation([] {
    Url *url = reinterpret_cast<Url *>(1);
    char text[] = "proto://srv:ftp/a/b?x=1&y=2&flag&x=3";
    const int status = url_new_parse(&url, text);
    if (status != 0) {
      EXPECT_EQ(url, nullptr);
      return status;
    }
    EXPECT_EQ(Params(url).size(), 3u);
    url_free(&url);
    return 0;
  });
}

TEST(UrlMemory, NewAddAndConstructFailuresLeakNothing) {
  char protocol[] = "p", host[] = "h", path[] = "x", name[] = "n", value[] = "v";
  ForEachFailingAllocation([&] {
    Url *url = reinterpret_cast<Url *>(1);
    const int status = url_new(&url, protocol, host, path, 1);
    if (status != 0) {
      EXPECT_EQ(url, reinterpret_cast<Url *>(1));
      return status;
    }
    url_free(&url);
    return 0;
  });
  Url *raw = nullptr;
  ASSERT_EQ(url_new(&raw, protocol, host, path, 1), 0);
  UrlPtr url(raw);
  ForEachFailingAllocation([&] {
    const int status = url_add_param(url.get(), name, value);
    if (status != 0) {
      EXPECT_EQ(url->attrib, nullptr);
    }
    return status;
  });
  ForEachFailingAllocation([&] {
    int status = 0;
    const auto text = Construct(url.get(), &status);
    if (status == 0) {
      EXPECT_EQ(text, "p://h:1/x?n=v");
    }
    return status;
  });
}

// The service-name lookup is reentrant: parsing on several threads at once
// gives every thread the right ports.
TEST(UrlThreads, ServiceLookupOnSeveralThreads) {
  const int ftp = ServicePort("ftp");
  const int http = ServicePort("http");
  if (ftp == 0 || http == 0) GTEST_SKIP() << "services database lacks ftp or http";
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const bool use_ftp = (i + t) % 2 == 0;
        std::string text = use_ftp ? "p://h:ftp/x" : "p://h:http/x";
        Url *url = nullptr;
        if (url_new_parse(&url, text.data()) != 0 || url->port != (use_ftp ? ftp : http)) {
          ++wrong[static_cast<std::size_t>(t)];
        }
        if (url != nullptr) url_free(&url);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
