// The command line: commands, options per command, values and help.
#include <gtest/gtest.h>

#include "Cli.h"

using namespace qvimcli;

namespace {

std::string parse(const std::vector<std::string>& args, Options& options) {
    options = Options();
    return parseArguments(args, options);
}

}  // namespace

TEST(HostCli, OptionsMayComeBeforeOrAfterTheCommand) {
    Options options;
    ASSERT_EQ(parse({"--db", "/x/im.db", "check", "--json", "-vv", "--threads=3"}, options), "");
    EXPECT_EQ(options.command, Command::Check);
    EXPECT_EQ(options.db, "/x/im.db");
    EXPECT_TRUE(options.json);
    EXPECT_EQ(options.verbosity, 2);
    EXPECT_EQ(options.threads, 3u);

    ASSERT_EQ(parse({"export", "--out=-", "--kind", "installedsoftware", "--since", "1700000000000"}, options), "");
    EXPECT_EQ(options.kind, ENTITY_INSTALLED_SOFTWARE);
    EXPECT_EQ(options.since, 1700000000000ull);
    EXPECT_EQ(options.out, "-");

    ASSERT_EQ(parse({"rules", "check", "r.json"}, options), "");
    EXPECT_EQ(options.command, Command::Rules);
    EXPECT_EQ(options.rules, "r.json");

    ASSERT_EQ(parse({"-q", "state", "set", "rulesetList", "mine"}, options), "");
    EXPECT_TRUE(options.quiet());
    EXPECT_EQ(options.stateName, "rulesetList");
    EXPECT_EQ(options.stateValue, "mine");

    ASSERT_EQ(parse({"check", "--syslog", "--format", "ecs", "--journal"}, options), "");
    EXPECT_EQ(options.syslogSocket, "/dev/log");
    EXPECT_TRUE(options.json && options.ecs && options.journal);
    ASSERT_EQ(parse({"watch", "--syslog=/run/x.sock"}, options), "");
    EXPECT_EQ(options.syslogSocket, "/run/x.sock");
}

TEST(HostCli, MistakesGetAOneLineReasonNamingTheCommand) {
    Options options;
    EXPECT_EQ(parse({}, options), "qvim: no command given; see 'qvim --help'");
    EXPECT_EQ(parse({"chek"}, options), "qvim: unknown command 'chek'; see 'qvim --help'");
    EXPECT_EQ(parse({"init"}, options),
              "qvim init: needs --rules FILE, the ruleset to install (examples/rules/default.json is a start)");
    EXPECT_EQ(parse({"check", "--rules", "r.json"}, options),
              "qvim check: option --rules does not apply; see 'qvim check --help'");
    EXPECT_EQ(parse({"export"}, options), "qvim export: needs --out FILE (or --out - for standard output)");
    EXPECT_NE(parse({"export", "--out", "x", "--kind", "Registry"}, options).find("unknown kind 'Registry'"),
              std::string::npos);
    EXPECT_NE(parse({"export", "--out", "x", "--since", "yesterday"}, options).find("--since needs"),
              std::string::npos);
    EXPECT_NE(parse({"check", "--threads", "0"}, options).find("--threads needs a number"), std::string::npos);
    EXPECT_EQ(parse({"check", "--db"}, options), "qvim: --db needs a value");
    EXPECT_EQ(parse({"check", "--json=yes"}, options), "qvim: --json takes no value");
    EXPECT_EQ(parse({"check", "extra"}, options), "qvim check: unexpected argument 'extra'; see 'qvim check --help'");
    EXPECT_NE(parse({"state", "get"}, options).find("expects 'get NAME' or 'set NAME VALUE'"), std::string::npos);
    EXPECT_NE(parse({"migrate"}, options).find("expects the path of the old database"), std::string::npos);
    EXPECT_NE(parse({"check", "-x"}, options).find("unknown option '-x'"), std::string::npos);
    // The socket only with '=': a following word is no value of --syslog.
    EXPECT_NE(parse({"check", "--syslog", "/run/x.sock"}, options), "");
    EXPECT_EQ(parse({"check", "--syslog="}, options), "qvim: --syslog= needs a value after '='");
    EXPECT_EQ(parse({"check", "--format", "xml"}, options), "qvim check: --format needs table, json or ecs, not 'xml'");
    EXPECT_NE(parse({"init", "--journal", "--rules", "r.json"}, options), "");
    EXPECT_EQ(parse({"rules", "lint", "r.json"}, options), "qvim rules: expects 'check FILE'; see 'qvim rules --help'");
    EXPECT_NE(parse({"rules", "check", "r.json", "--db", "x"}, options), "");
}

TEST(HostCli, HelpIsAvailableForEveryCommandEvenWithRequiredOptionsMissing) {
    Options options;
    ASSERT_EQ(parse({"init", "--help"}, options), "");
    EXPECT_TRUE(options.help);
    EXPECT_EQ(options.helpFor, Command::Init);
    ASSERT_EQ(parse({"help", "watch"}, options), "");
    EXPECT_EQ(options.helpFor, Command::Watch);
    ASSERT_EQ(parse({"-h"}, options), "");
    EXPECT_EQ(options.helpFor, Command::None);

    for (Command command : {Command::Init, Command::Check, Command::Watch, Command::Export, Command::Metrics,
                            Command::State, Command::Migrate, Command::Demo, Command::Rules}) {
        const std::string text = helpText(command);
        EXPECT_NE(text.find(std::string("qvim ") + commandName(command)), std::string::npos) << text;
        EXPECT_NE(text.find("Exit status"), std::string::npos);
    }
    EXPECT_NE(helpText(Command::None).find("init --rules FILE"), std::string::npos);
}
