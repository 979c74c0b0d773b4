// The names of the logger's debug categories and the lookups between a name
// and a mask.
#include <tavo/detail/debugcat>

#include <strings.h>

namespace KVN {

const DebCat _deb_categories[36] = {
    {"NONE", DEB_NONE},
    {"INIT", DEB_INIT},
    {"TRACE", DEB_TRACE},
    {"INPUT", DEB_INPUT},
    {"SOCKET_IN", DEB_SOCKET_IN},
    {"QUEUE_IN", DEB_QUEUE_IN},
    {"OUTPUT", DEB_OUTPUT},
    {"SOCKET_OUT", DEB_SOCKET_OUT},
    {"QUEUE_OUT", DEB_QUEUE_OUT},
    {"MAIN", DEB_MAIN},
    {"MSG_INQ", DEB_MSG_INQ},
    {"MSG_RESP", DEB_MSG_RESP},
    {"MSG_UPD", DEB_MSG_UPD},
    {"MSG_IN", DEB_MSG_IN},
    {"MSG_OUT", DEB_MSG_OUT},
    {"TIMER", DEB_TIMER},
    {"TIMER_Q", DEB_TIMER_Q},
    {"DB_LOOKUP", DEB_DB_LOOKUP},
    {"DB_UPDATE", DEB_DB_UPDATE},
    {"DB_DELETE", DEB_DB_DELETE},
    {"DB_INSERT", DEB_DB_INSERT},
    {"JOB1", DEB_JOB1},
    {"JOB2", DEB_JOB2},
    {"RESV0", DEB_RESV0},
    {"RESV1", DEB_RESV1},
    {"RESV2", DEB_RESV2},
    {"RESV3", DEB_RESV3},
    {"RESV4", DEB_RESV4},
    {"RESV5", DEB_RESV5},
    {"RESV6", DEB_RESV6},
    {"RESV7", DEB_RESV7},
    {"APP", DEB_APP},
    {"OPEN", DEB_OPEN},
    {"DB_ALL", DEB_DB_ALL},
    {"ALL", DEB_ALL},
    {"", 0},
};

const char* debug_category_name(DebugCategory cat) {
  return _deb_categories[ffs(static_cast<int>(cat))].category;
}

DebugCategory debug_category_from_name(const std::string& name) {
  // Index 0 ("NONE", value 0) is skipped on purpose: it is not a category
  // that can be switched on.
  for (const DebCat* c = &_deb_categories[1]; c->bit_number != 0; ++c) {
    if (name == c->category) return c->bit_number;
  }
  return DEB_NONE;
}

}  // namespace KVN
