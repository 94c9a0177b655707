// The messenger's start and commands: the parameter words (the whole context
// after parsing), tracing from the word after TRC, what the program does with
// -V, --help, the report kinds and CMD= before any connection (data/jpmd.txt),
// and the commands of data/calls.txt, deciphered and run.
#include "wq_jpmd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "common/process.h"
#include "src/rows.h"
#include "wq_cmd.h"
#include "wq_trace.h"

namespace {

using namespace wqtest;

// Parses the words (without the program name) into a context that held other bytes before.
PCX Parse(std::vector<std::string> words) {
  PCX ctx;
  memset(&ctx, 0x5A, sizeof ctx);
  EXPECT_EQ(initialize_messenger(&ctx), 0);
  words.insert(words.begin(), "wq_jpmd");
  std::vector<char *> argv;
  for (std::string &s : words) argv.push_back(s.data());
  EXPECT_EQ(parse_arguments(&ctx, (int)words.size(), argv.data()), 0);
  trcFlag.store(0);
  return ctx;
}

// The fields that data/jpmd.txt names: numbers, and bytes (a NUL behind them when the field has room).
using Set = void (*)(PCX &, const std::string &);
#define NUM(f) {#f, [](PCX &e, const std::string &v) { e.f = (decltype(e.f))std::stoll(v); }}
#define BYTES(f) {#f, [](PCX &e, const std::string &v) { memcpy(&e.f, Unhex(v).c_str(), std::min(Unhex(v).size() + 1, sizeof e.f)); }}
const std::map<std::string, Set> kFields = {
    NUM(running_mode), NUM(IoTimeOut), NUM(connect_retry), NUM(connect_wait), NUM(jobnri), NUM(portnri), NUM(reti),
    NUM(client), BYTES(status), BYTES(melder_type), BYTES(output_login), BYTES(var_type), BYTES(info_text),
    BYTES(ipAddr), BYTES(output_file), BYTES(var_name), BYTES(var_value)};

TEST(Program, ParametersRunsAndTracesOfTheDataFile) {
  const std::string program = std::string(WQ_BINARY_DIR) + "/wq_jpmd", help = jpmd_help_text();
  PCX defaults;
  memset(&defaults, 0, sizeof defaults);
  int parsed = 0;
  for (const DataCase &c : ReadData("jpmd.txt")) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words[0].substr(0, 30)));
    std::vector<std::string> words(c.words.begin() + (c.name == "run" ? 1 : 0), c.words.end());
    if (c.name == "defaults" || c.name == "parse") {
      PCX want = defaults;
      for (const std::string &line : Lines(c.text)) kFields.at(line.substr(0, line.find(' ')))(want, line.substr(line.find(' ') + 1));
      if (c.name == "defaults") defaults = want, words = {};
      for (std::string &w : words) w = Unhex(w);
      PCX got = Parse(words);
      EXPECT_EQ(memcmp(&got, &want, sizeof got), 0);
      parsed++;
    } else if (c.name == "trace") {
      std::string texts;
      for (const std::string &t : TraceTexts(CaptureStdout([&] { Parse(words); }))) texts += t + "\n";
      EXPECT_EQ(texts, c.text);
    } else {
      RunResult r = wqtest::Run(program, words);
      EXPECT_EQ(r.exit_code, std::stoi(c.words[0]));
      EXPECT_EQ(Misfit(r.out, Fill(c.text, {{"HELP", help.substr(0, help.size() - 1)}})), "");
    }
  }
  EXPECT_EQ(parsed, 25);
}

// Commands of the call table, deciphered, and run with their output sent to a file.
TEST(Command, DecipheredAndRun) {
  auto ctx = std::make_unique<PCX>();
  memset(ctx.get(), 0, sizeof(PCX));
  char file[] = "/tmp/wq_cmd_XXXXXX";
  ASSERT_EQ(close(mkstemp(file)), 0);
  EXPECT_EQ(ForEachCall([&](const std::string &f, Row &r) {
              if (f != "decipherCmd" && f != "processCmd") return false;
              Area out;
              const std::string want = r.s(f == "decipherCmd" ? 1 : 2);
              if (f == "decipherCmd") {
                const long long size = r.c.words.size() > 2 ? r.n(2) : (long long)r.s(0).size() + 1;
                EXPECT_EQ(decipherCmd(r.p(0), out, (size_t)size), strlen(want.c_str()));
                r.Wrote(out, 1, size);
              } else {
                snprintf(ctx->pCmdBuffer, sizeof ctx->pCmdBuffer, "%s > %s", r.p(0), file);
                EXPECT_EQ(processCmd(ctx.get()), r.n(1));
                std::ifstream written(file);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), want);
              }
              return true;
            }), 22);
  unlink(file);
}

}  // namespace
