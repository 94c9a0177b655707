#include "wq_cmd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "src/rows.h"
#include "wq_jpmd.h"

namespace {

// Commands of the call table, deciphered, and run with their output sent to a file.
TEST(Command, DecipheredAndRun) {
  auto ctx = std::make_unique<PCX>();
  memset(ctx.get(), 0, sizeof(PCX));
  char file[] = "/tmp/wq_cmd_XXXXXX";
  ASSERT_EQ(close(mkstemp(file)), 0);
  EXPECT_EQ(wqtest::ForEachCall([&](const std::string &f, wqtest::Row &r) {
              if (f != "decipherCmd" && f != "processCmd") return false;
              wqtest::Area out;
              const std::string want = r.s(f == "decipherCmd" ? 1 : 2);
              if (f == "decipherCmd") {
                const long long size = r.c.words.size() > 2 ? r.n(2) : (long long)r.s(0).size() + 1;
                EXPECT_EQ(decipherCmd(r.p(0), out, (size_t)size), strlen(want.c_str()));
                r.Wrote(out, 1, size);
              } else {
                snprintf(ctx->pCmdBuffer, sizeof ctx->pCmdBuffer, "%s > %s", r.p(0), file);
                EXPECT_EQ(processCmd(ctx.get()), r.n(1));
                std::ifstream written(file);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>()), want);
              }
              return true;
            }), 22);
  unlink(file);
}

}  // namespace
