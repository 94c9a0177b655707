// A pass without tracing takes over every connection waiting on a listening
// channel (up to its bound), in the order they were accepted, each with its
// own accept notice.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <vector>

#include "_ccm/ccm_io_testing.h"
#include "ipcmsg.h"

using namespace ccmtest;

namespace {

TEST(AcceptBurst, OnePassTakesOverAllWaitingConnections) {
  Context ctx;
  ctx.Pipes();
  ccm_error_t err{};
  ASSERT_EQ(0, ccm_create_listen(ctx.ccm, "127.0.0.1", 0, 16, &err));
  ccm_channel_t *lch = ccm_channel_getbyName(ctx.ccm, "*LISTEN");
  ASSERT_NE(nullptr, lch);
  int ls = lch->s;
  ccm_channel_unlock(ctx.ccm);
  struct sockaddr_in a = {};
  socklen_t al = sizeof a;
  ASSERT_EQ(0, getsockname(ls, (struct sockaddr *)&a, &al));
  ctx.Merge();

  std::vector<int> clients;
  for (int i = 0; i < 5; ++i) {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(c, (struct sockaddr *)&a, sizeof a));
    clients.push_back(c);
  }
  ASSERT_TRUE(wait_readable(ls));
  ASSERT_EQ(0, ccm_network_select(ctx.ccm, 30, &err));

  // Every connection has its channel, chained in accept order, and one
  // notice naming it.
  std::vector<int> ids;
  for (ccm_channel_t *ch = ctx.ccm->channel_newq.head; ch; ch = ch->nxt) ids.push_back(ch->ID);
  ASSERT_EQ(5u, ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    ccm_msg_t *m = nullptr;
    ASSERT_EQ(1, ccm_receive_message(ctx.ccm, 0, &m, &err));
    ASSERT_TRUE(is_ipc(m, "CHANNEL_ACCEPT"));
    ipcmsg_channel_accept_t rec;
    memcpy(&rec, m->msg_start, sizeof rec);
    EXPECT_EQ(ids[i], rec.ID);
    ccm_msg_free(ctx.ccm, m);
  }
  EXPECT_TRUE(nothing_to_read(ls));  // the listen queue is empty
  for (int c : clients) close(c);
}

}  // namespace
