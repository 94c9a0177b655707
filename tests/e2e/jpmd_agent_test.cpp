// End to end: the messenger program against the agent program on loopback,
// one report of each kind. The agent decodes what arrived, answers, and
// stops by itself after the one report.
#include <gtest/gtest.h>

#include "common/agent.h"

using namespace wqtest;

namespace {

struct Row {
  std::vector<std::string> options, words;  // of the agent, of the messenger
  int status;                               // the messenger's exit status
  std::vector<std::string> shown;           // texts of the agent's report line
};

const std::vector<Row> kRows = {
    {{}, {"JNR=42", "TYP=E", "RET=300", "TXT=all done", "MNR=7"}, 44,  // the return code modulo 256
     {"kind=job job=42 status=E ret=300 text=\"all done\"", "client=7 version=\"12.2.0+build.2108\" (12.2.0) len=276"}},
    {{}, {"JNR=43", "TYP=R"}, 0, {"kind=job job=43 status=R ret=0 text=\"\""}},
    {{}, {"JNR=44", "TYP=O", "OUTFILE=/var/log/job.out", "ULOGIN=Y"}, 0,
     {"kind=output job=44 status=O login=Y file=\"/var/log/job.out\""}},
    {{}, {"JNR=45", "TYP=V", "NAME=count", "VALUE=17", "VTYPE=N"}, 0,
     {"kind=variable job=45 status=V name=\"count\" value=\"17\" vtype=\"N\"", "len=1521"}},
    {{"--json"}, {"JNR=9", "TYP=V"}, 0, {"\"kind\":\"variable\",\"job\":9,\"status\":\"V\",\"variable\":null"}},
};

TEST(JpmdAgent, EachReportKindArrivesAndIsAnswered) {
  for (const Row &r : kRows) {
    SCOPED_TRACE(r.words[0]);
    Agent agent;
    std::vector<std::string> options = r.options;
    options.insert(options.end(), {"--count", "1"});
    ASSERT_GT(agent.Start(options), 0) << agent.out();
    std::vector<std::string> argv{kJpmdProgram, "IPA=127.0.0.1", "PNR=" + std::to_string(agent.port), "WAIT=0"};
    argv.insert(argv.end(), r.words.begin(), r.words.end());
    RunResult jpmd = wqtest::Run(kJpmdProgram, argv);
    EXPECT_EQ(jpmd.exit_code, r.status) << jpmd.out;
    std::string line;
    EXPECT_TRUE(agent.WaitFor(r.options.empty() ? "report channel=" : "{\"channel\":", &line)) << agent.out();
    for (const std::string &s : r.shown) EXPECT_NE(line.find(s), std::string::npos) << line;
    EXPECT_EQ(agent.Stop(false), 1);
  }
}

}  // namespace
