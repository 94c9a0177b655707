// The messenger's start and commands: the parameter words (the whole context
// after parsing), tracing from the word after TRC, what the program does with
// -V, --help, the report kinds and CMD= before any connection (data/jpmd.txt),
// the commands of data/calls.txt, deciphered and run; what it emits: its
// console reports (data/report.txt) and every byte of its job messages
// (data/records.txt) as queued for the agent's channel.
#include "wq_jpmd.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <clocale>
#include <fstream>
#include <map>

#include "ccm.h"
#include "common/process.h"
#include "common/data.h"
#include "wq_cmd.h"
#include "wq_exchange.h"
#include "wq_trace.h"
#include "zudnst.h"

namespace {

using namespace wqtest;

// Parses the words (without the program name) into a context that held other bytes before, as `main` does.
PCX Parse(std::vector<std::string> words) {
  PCX ctx;
  memset(&ctx, 0x5A, sizeof ctx);
  EXPECT_EQ(initialize_messenger(&ctx), 0);
  StringCopy(ctx.program_name, sizeof ctx.program_name, "wq_jpmd");
  words.insert(words.begin(), "wq_jpmd");
  Argv argv(words);
  EXPECT_EQ(parse_arguments(&ctx, argv.size(), argv.argv()), 0);
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
  StringCopy(defaults.program_name, sizeof defaults.program_name, "wq_jpmd");
  int parsed = 0;
  for (const DataCase &c : ReadData("jpmd.txt")) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words[0].substr(0, 30)));
    std::vector<std::string> words(c.words.begin() + (c.name == "run" ? 1 : 0), c.words.end());
    if (c.name == "defaults" || c.name == "parse") {
      PCX want = defaults;
      for (const std::string &line : Lines(c.text)) kFields.at(line.substr(0, line.find(' ')))(want, line.substr(line.find(' ') + 1));
      if (c.name == "defaults") defaults = want, words = {};
      for (std::string &w : words) w = Unhex(w);
      EXPECT_EQ(memcmp(&static_cast<const PCX &>(Parse(words)), &want, sizeof want), 0);
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

PCX g_command;  // all zero bytes
char g_output[] = "/tmp/wq_cmd_XXXXXX";

// Commands of the call table, deciphered, and run with their output sent to a file.
TEST(Command, DecipheredAndRun) {
  ASSERT_EQ(close(mkstemp(g_output)), 0);
  CheckCalls({
      {"decipherCmd", [](Row &r, Area &out) {  // SIZE is the text's and 1 unless given
         const long long size = r.c.words.size() > 2 ? r.n(2) : (long long)r.s(0).size() + 1;
         EXPECT_EQ(decipherCmd(r.p(0), out, (size_t)size), strlen(r.s(1).c_str()));
         r.Wrote(out, 1, size); }},
      {"processCmd", [](Row &r, Area &) {
         snprintf(g_command.pCmdBuffer, sizeof g_command.pCmdBuffer, "%s > %s", r.p(0), g_output);
         EXPECT_EQ(processCmd(&g_command), r.n(1));
         std::ifstream written(g_output);
         EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), r.s(2)); }},
  }, 22);
  unlink(g_output);
}

// The reports in a zone three hours east of UTC without summer time, so that
// local and UTC times differ by a known amount.
TEST(Report, EveryFormByteForByte) {
  setenv("TZ", "XYZ-3", 1), tzset();
  char ppid[16];
  snprintf(ppid, sizeof ppid, "%010i", (int)getppid());
  int cases = 0;
  for (const DataCase &c : ReadData("report.txt")) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words[0]));
    PCX ctx = Parse(c.words);
    struct timeval before = {}, after = {};
    gettimeofday(&before, nullptr);
    int rc = 0;
    const std::string out = CaptureStdout([&] {
      rc = c.name == "banner" ? printMelder(&ctx) : c.name == "outfile" ? printOutputViewReport(&ctx) : printRegisteredVariable(&ctx);
    });
    gettimeofday(&after, nullptr);
    EXPECT_EQ(rc, out.empty() ? -1 : 0);
    EXPECT_EQ(Misfit(out, Fill(c.text, {{"PPID", ppid}})), "") << out;
    if (c.name != "banner" || ++cases > 1) continue;
    // The UTC time is the moment of the call (between two clock readings); the local time is three hours on.
    const std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(lines.size(), 6u);
    struct tm tm = {};
    strptime(lines[3].substr(49, 21).c_str(), "%d.%m.%Y / %H:%M:%S", &tm);
    const time_t t = timegm(&tm), local = t + 3 * 3600;
    char text[32];
    strftime(text, sizeof text, "%d.%m.%Y / %H:%M:%S", gmtime(&local));
    EXPECT_TRUE(t >= before.tv_sec && t <= after.tv_sec && lines[2].substr(lines[2].size() - 24, 21) == text) << out;
  }
  EXPECT_EQ(cases, 7);
  setlocale(LC_ALL, "C.UTF-8");  // the variable type is one byte whatever the locale
  PCX ctx = Parse({"NAME=A", "VALUE=b"});
  ctx.var_type = (char)0xE4;
  EXPECT_EQ(CaptureStdout([&] { printRegisteredVariable(&ctx); }), "Registered variable: '\xE4' A=b\n");
}

// `n` bytes of `v`, least significant first, in hex.
std::string Le(uint64_t v, int n) { return Hex(LittleEndian(v, n)); }

// Each is sent within one second of the clock, so that the time fields are
// known, from a free list whose buffer is full of old bytes, none of which
// may show. Without a message buffer nothing is sent.
TEST(Send, EveryRecordByteForByte) {
  const std::vector<DataCase> cases = ReadData("records.txt");
  EXPECT_EQ(cases.size(), 7u);
  for (const DataCase &c : cases) {
    SCOPED_TRACE(c.name + " " + (c.words.empty() ? "" : c.words.back().substr(0, 20)));
    PCX ctx = Parse(c.words);
    ctx.agentID = 7;
    ccm_error_t err{};
    ASSERT_TRUE(ccm_open(&ctx, &ccm, &err) == 0 && ccm_create_wakeup_pipes(ccm, &err) == 0) << err.msgnr;
    ccm->unique_channel_ID = ctx.agentID;  // the agent's channel is open: sends to it are taken
    ccm_channel_t *agent = nullptr;
    ASSERT_EQ(0, ccm_channel_new_entry(ccm, &agent, &err));
    ccm_channel_chain(ccm, agent);
    const auto send = [&] { return c.name == "job" ? SendJpMd(&ctx) : c.name == "output" ? SendOutputViewMsg(&ctx) : SendRegVariableMsg(&ctx); };
    wq_send_msg_alloc = [](ccm_context_t *, ccm_error_t *) -> ccm_msg_t * { return nullptr; };
    EXPECT_EQ(send(), c.text.empty() ? -1 : kSendNoBuffer);
    wq_send_msg_alloc = ccm_msg_alloc;
    EXPECT_EQ(ccm->sendq.head, nullptr);
    struct timeval before = {}, after = {};
    int rc = 0;
    for (int tries = 0; tries < 10 && (tries == 0 || before.tv_sec != after.tv_sec); ++tries) {
      for (ccm_msg_t *m; (m = ccm->sendq.head) != nullptr; ccm_msg_free(ccm, m)) ccm->sendq.head = m->nxt;
      ccm->sendq.tail = nullptr;
      ccm_msg_t *dirty = ccm_msg_alloc(ccm, &err);
      memset(dirty->buffer1, 0xAA, 2 * (size_t)dirty->size);
      ccm_msg_free(ccm, dirty);
      gettimeofday(&before, nullptr);
      rc = send();
      gettimeofday(&after, nullptr);
    }
    const struct tm u = *gmtime(&before.tv_sec);
    const std::string expected = Unhex(Fill(c.text, {{"PID", Le(getpid(), 4)}, {"PPID", Le(getppid(), 4)}, {"PGRP", Le(getpgrp(), 4)},
        {"SID", Le(getsid(0), 4)}, {"SECONDS", Le(before.tv_sec, 8)}, {"STAMP", Le(u.tm_year + 1900, 2) + Le(u.tm_mon + 1, 2) +
        Le(u.tm_mday, 2) + Le(u.tm_hour, 2) + Le(u.tm_min, 2) + Le(u.tm_sec, 2)}}));
    ccm_msg_t *m = ccm->sendq.head;
    EXPECT_EQ(rc, expected.empty() ? -1 : 0);
    EXPECT_TRUE(m ? m->nxt == nullptr && m->type == CCM_MSG_NAT && m->addr.dst_ID == 7 : expected.empty());
    EXPECT_EQ(m ? Hex(std::string((const char *)m->msg_start, (size_t)m->len)) : "", Hex(expected));
    ccm_channel_closeall(ccm), ccm_close(ccm, &err);  // frees the queued message
    ccm = nullptr;
  }
}

}  // namespace
