// The orvik_nats settings file: defaults, every directive, and the mistakes
// that make module_init fail, each with a message naming the file, the
// directive and the value.
#include "nats_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "test_files.h"

namespace {

using orvikevt::nats::NatsConfig;
using orvikevt::nats::ReadNatsConfig;

class NatsConfigFile : public ::testing::Test {
 protected:
  std::string Read(const std::string &text, NatsConfig *config) {
    std::ofstream(path_) << text;
    return ReadNatsConfig(path_.c_str(), config);
  }
  orvikevtd_test::TempDir dir_{"orvik_nats_config"};
  std::string path_ = dir_.file("nats.conf");
};

TEST_F(NatsConfigFile, EmptyFileGivesTheDefaults) {
  NatsConfig config;
  ASSERT_EQ(Read("# nothing but a comment\n\n", &config), "");
  EXPECT_EQ(config.servers, std::vector<std::string>{"nats://127.0.0.1:4222"});
  EXPECT_EQ(config.subject, "orvik.events");
  EXPECT_EQ(config.stream, "ORVIK");
  EXPECT_TRUE(config.create_stream);
  EXPECT_EQ(config.replicas, 1);
  EXPECT_EQ(config.batch, 64u);
  EXPECT_EQ(config.flush_ms, 100u);
  EXPECT_EQ(config.max_pending, 128u);
}

TEST_F(NatsConfigFile, EveryDirectiveIsRead) {
  NatsConfig config;
  ASSERT_EQ(Read("SERVERS nats://a:4222, tls://u:p@b:4223,nats://c\n"
                 "  SUBJECT site.one.events\nSTREAM EVENTS_1\nCREATESTREAM no\nREPLICAS 3\n"
                 "BATCH 1024\nFLUSHMS 60000\nMAXPENDING 4096\nCREDS /x.creds\nTLSCA /ca\n"
                 "TLSCERT /c\nTLSKEY /k\n",
                 &config),
            "");
  EXPECT_EQ(config.servers,
            (std::vector<std::string>{"nats://a:4222", "tls://u:p@b:4223", "nats://c"}));
  EXPECT_EQ(config.subject, "site.one.events");
  EXPECT_EQ(config.stream, "EVENTS_1");
  EXPECT_FALSE(config.create_stream);
  EXPECT_EQ(config.replicas, 3);
  EXPECT_EQ(config.batch, 1024u);
  EXPECT_EQ(config.flush_ms, 60000u);
  EXPECT_EQ(config.max_pending, 4096u);
  EXPECT_EQ(config.creds, "/x.creds");
  EXPECT_EQ(config.tls_ca, "/ca");
  EXPECT_EQ(config.tls_cert, "/c");
  EXPECT_EQ(config.tls_key, "/k");
  EXPECT_EQ(orvikevt::nats::ServerList(config), "nats://a:4222,tls://b:4223,nats://c");
}

TEST_F(NatsConfigFile, ShippedSampleIsValidAndStatesTheDefaults) {
  NatsConfig sample;
  ASSERT_EQ(ReadNatsConfig(NATS_SAMPLE, &sample), "");
  NatsConfig defaults;
  EXPECT_EQ(sample.servers, defaults.servers);
  EXPECT_EQ(sample.batch, defaults.batch);
  EXPECT_EQ(sample.max_pending, defaults.max_pending);
  EXPECT_EQ(sample.flush_ms, defaults.flush_ms);
}

struct Mistake {
  const char *text;
  const char *message;  // after "<path>: "
};

class NatsConfigMistake : public NatsConfigFile, public ::testing::WithParamInterface<Mistake> {};

TEST_P(NatsConfigMistake, IsRefusedWithAMessageNamingIt) {
  NatsConfig config;
  EXPECT_EQ(Read(GetParam().text, &config), path_ + ": " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    All, NatsConfigMistake,
    ::testing::Values(
        Mistake{"SERVERS nats://a:1\nSERVER nats://b:2\n", "unknown directive 'SERVER' on line 2"},
        Mistake{"servers nats://a:1\n", "unknown directive 'servers' on line 1"},
        Mistake{"BATCH 10\nBATCH 20\n", "BATCH appears more than once"},
        Mistake{"BATCH\n", "BATCH needs a value"},
        Mistake{"BATCH 0\n", "bad BATCH '0': expected 1 to 1024"},
        Mistake{"BATCH 1025\n", "bad BATCH '1025': expected 1 to 1024"},
        Mistake{"BATCH 12x\n", "bad BATCH '12x': expected 1 to 1024"},
        Mistake{"BATCH -1\n", "bad BATCH '-1': expected 1 to 1024"},
        Mistake{"FLUSHMS 0\n", "bad FLUSHMS '0': expected 1 to 60000"},
        Mistake{"MAXPENDING 99999999999999999999\n",
                "bad MAXPENDING '99999999999999999999': expected 1 to 4096"},
        Mistake{"REPLICAS 6\n", "bad REPLICAS '6': expected 1 to 5"},
        Mistake{"CREATESTREAM maybe\n", "bad CREATESTREAM 'maybe': expected yes or no"},
        Mistake{"SERVERS http://a:1\n",
                "bad SERVERS 'http://a:1': expected nats://host:port or tls://host:port, "
                "comma-separated"},
        Mistake{"SERVERS nats://a:1,,nats://b:2\n",
                "bad SERVERS '': expected nats://host:port or tls://host:port, comma-separated"},
        Mistake{"SERVERS nats://a:70000\n",
                "bad SERVERS 'nats://a:70000': expected nats://host:port or tls://host:port, "
                "comma-separated"},
        Mistake{"SUBJECT orvik.*\n", "bad SUBJECT 'orvik.*': expected a subject without wildcards"},
        Mistake{"SUBJECT orvik..events\n",
                "bad SUBJECT 'orvik..events': expected a subject without wildcards"},
        Mistake{"STREAM a.b\n", "bad STREAM 'a.b': expected a name without . * > / \\"},
        Mistake{"TLSCA /a /b\n", "bad TLSCA '/a /b': expected one file name"},
        Mistake{"TLSCERT /c\n", "TLSCERT and TLSKEY go together"}));

TEST_F(NatsConfigFile, MissingFileNamesItsError) {
  NatsConfig config;
  EXPECT_EQ(ReadNatsConfig(dir_.file("absent").c_str(), &config),
            dir_.file("absent") + ": No such file or directory");
  EXPECT_EQ(ReadNatsConfig(nullptr, &config), "no configuration file given");
}

TEST_F(NatsConfigFile, SecurityFilesAreCheckedBeforeAnyConnection) {
  NatsConfig config;
  std::ofstream(dir_.file("not.creds")) << "just text\n";
  std::ofstream(dir_.file("not.pem")) << "just text\n";
  config.creds = dir_.file("not.creds");
  EXPECT_EQ(orvikevt::nats::CheckSecurityFiles(config),
            "CREDS " + config.creds + ": not a credentials file (user JWT and seed)");
  config.creds = dir_.file("absent.creds");
  EXPECT_EQ(orvikevt::nats::CheckSecurityFiles(config),
            "CREDS " + config.creds + ": No such file or directory");
  config.creds.clear();
  config.tls_ca = dir_.file("not.pem");
  EXPECT_EQ(orvikevt::nats::CheckSecurityFiles(config),
            "TLSCA " + config.tls_ca + ": no PEM certificate");
  std::ofstream(dir_.file("ok.creds"))
      << "-----BEGIN NATS USER JWT-----\neyJ0\n------END NATS USER "
         "JWT------\n-----BEGIN USER NKEY SEED-----\nSUAM\n";
  config.tls_ca.clear();
  config.creds = dir_.file("ok.creds");
  EXPECT_EQ(orvikevt::nats::CheckSecurityFiles(config), "");
}

}  // namespace
