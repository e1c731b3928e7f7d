// Value records, packets, the capture-file headers and the target URL.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libbsv.h"
#include "libpal.h"

namespace {

void put8(std::vector<uint8_t>& o, uint8_t v) { o.push_back(v); }
void put16(std::vector<uint8_t>& o, uint16_t v) {
  o.push_back(static_cast<uint8_t>(v >> 8));
  o.push_back(static_cast<uint8_t>(v));
}
void put32(std::vector<uint8_t>& o, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) o.push_back(static_cast<uint8_t>(v >> s));
}
void put64(std::vector<uint8_t>& o, uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) o.push_back(static_cast<uint8_t>(v >> s));
}
void put_str(std::vector<uint8_t>& o, const char* s, size_t n) {
  put16(o, static_cast<uint16_t>(n));
  if (n) o.insert(o.end(), s, s + n);
}

// Little-endian writers for the capture file, whose headers are host order
// by convention; we always write little-endian with the matching magic.
void le16(std::vector<uint8_t>& o, uint16_t v) {
  o.push_back(static_cast<uint8_t>(v));
  o.push_back(static_cast<uint8_t>(v >> 8));
}
void le32(std::vector<uint8_t>& o, uint32_t v) {
  for (int s = 0; s < 32; s += 8) o.push_back(static_cast<uint8_t>(v >> s));
}

// Bounded big-endian reader: every get fails once the bytes run out.
struct reader {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  bool ok = true;
  bool need(size_t k) {
    if (!ok || n - at < k) ok = false;
    return ok;
  }
  uint64_t get(int bytes) {
    if (!need(static_cast<size_t>(bytes))) return 0;
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[at++];
    return v;
  }
  std::string str() {
    size_t len = static_cast<size_t>(get(2));
    if (!need(len)) return {};
    std::string s(reinterpret_cast<const char*>(p + at), len);
    at += len;
    return s;
  }
};

size_t cut(const char* s, size_t max) { return s ? strnlen(s, max) : 0; }

// Per-field ceilings so that no one field can crowd out the message.
constexpr size_t kTagMax = 64, kNameMax = 128, kFileMax = 256, kFuncMax = 128, kHostMax = 64;

}  // namespace

uint8_t bsv_crc8(const uint8_t* p, size_t n) {
  uint8_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

uint32_t bsv_ver_id(const char* version) {
  uint32_t v = 0;
  const char* s = version ? version : "";
  for (int i = 0; i < 4; ++i) {
    unsigned part = 0;
    while (*s >= '0' && *s <= '9') part = part * 10 + static_cast<unsigned>(*s++ - '0');
    v = (v << 8) | (part & 0xff);
    if (*s == '.') ++s;
  }
  return v;
}

uint16_t bsv_app_id(const char* name) {
  static const struct {
    const char* name;
    uint16_t id;
  } kApps[] = {{"tarn", 1}, {"wysd", 2}};
  for (const auto& a : kApps)
    if (name && strcmp(name, a.name) == 0) return a.id;
  return 0;
}

uint8_t bsv_os_id() {
#if defined(__linux__)
  return 2;
#elif defined(__APPLE__)
  return 3;
#elif defined(__FreeBSD__)
  return 5;
#else
  return 0;
#endif
}

uint8_t bsv_arch_id() {
#if defined(__x86_64__)
  return 2;
#elif defined(__i386__)
  return 1;
#elif defined(__aarch64__)
  return 10;
#elif defined(__arm__)
  return 9;
#else
  return 0;
#endif
}

std::vector<uint8_t> bsv_rec_encode(const bsv_log_rec& r, size_t text_max) {
  char line[16];
  snprintf(line, sizeof line, "%d", r.line);
  size_t lens[5] = {cut(r.tag, kTagMax), cut(r.tid_name, kNameMax), cut(r.file, kFileMax), strlen(line),
                    cut(r.func, kFuncMax)};
  const char* texts[5] = {r.tag, r.tid_name, r.file, line, r.func};
  // The short fields first; whatever stays goes to the message.
  size_t left = text_max;
  for (size_t& l : lens) {
    if (l > left) l = left;
    left -= l;
  }
  size_t mlen = r.msg ? r.msg_len : 0;
  if (mlen > left) mlen = left;

  std::vector<uint8_t> o;
  o.reserve(BSV_REC_FIXED + text_max);
  put64(o, r.sec);
  put32(o, r.usec);
  put32(o, r.pid);
  put32(o, r.tid);
  put8(o, r.level);
  for (int i = 0; i < 5; ++i) put_str(o, texts[i], lens[i]);
  put_str(o, r.msg, mlen);
  return o;
}

int bsv_rec_decode(const uint8_t* p, size_t n, bsv_log_view* out) {
  if (p == nullptr || out == nullptr) return -1;
  reader rd{p, n};
  out->sec = rd.get(8);
  out->usec = static_cast<uint32_t>(rd.get(4));
  out->pid = static_cast<uint32_t>(rd.get(4));
  out->tid = static_cast<uint32_t>(rd.get(4));
  out->level = static_cast<uint8_t>(rd.get(1));
  out->tag = rd.str();
  out->tid_name = rd.str();
  out->file = rd.str();
  out->line = rd.str();
  out->func = rd.str();
  out->msg = rd.str();
  return rd.ok && rd.at == n ? 0 : -1;
}

std::vector<uint8_t> bsv_packet_build(const bsv_pkt_hdr& h, const char* hostname, const bsv_log_rec& r) {
  size_t hlen = cut(hostname, kHostMax);
  const bool crc = h.flags & BSV_F_CRC;
  // Fixed head, two length fields, the record's fixed part and its six
  // length fields; the texts get what remains of the packet limit.
  const size_t fixed = BSV_PKT_HEAD + 2 + hlen + 2 + BSV_REC_FIXED + (crc ? 1 : 0);
  size_t text_max = BSV_PKT_MAX > fixed ? BSV_PKT_MAX - fixed : 0;
  if (text_max > BSV_TEXT_MAX) text_max = BSV_TEXT_MAX;
  std::vector<uint8_t> rec = bsv_rec_encode(r, text_max);

  std::vector<uint8_t> o;
  o.reserve(fixed + rec.size());
  for (char ch : {'b', 's', 'v'}) o.push_back(static_cast<uint8_t>(ch));
  put8(o, h.flags);
  put16(o, 0);  // length, filled below
  put8(o, BSV_PKT_TYPE);
  put64(o, h.sid);
  put64(o, h.bid);
  put64(o, h.stime);
  put32(o, h.ver_id);
  put16(o, h.app_id);
  put8(o, h.os_id);
  put8(o, h.arch_id);
  put16(o, h.type_id);
  put_str(o, hostname, hlen);
  put_str(o, reinterpret_cast<const char*>(rec.data()), rec.size());
  size_t total = o.size() + (crc ? 1 : 0);
  o[4] = static_cast<uint8_t>(total >> 8);
  o[5] = static_cast<uint8_t>(total);
  if (crc) o.push_back(bsv_crc8(o.data() + 3, o.size() - 3));
  return o;
}

int bsv_packet_parse(const uint8_t* p, size_t n, bsv_pkt_hdr* h, std::string* hostname,
                     std::vector<uint8_t>* data) {
  if (p == nullptr || h == nullptr || n < BSV_PKT_HEAD + 4 || memcmp(p, "bsv", 3) != 0) return -1;
  reader rd{p, n, 3};
  h->flags = static_cast<uint8_t>(rd.get(1));
  size_t len = static_cast<size_t>(rd.get(2));
  if (len != n || rd.get(1) != BSV_PKT_TYPE) return -1;
  const bool crc = h->flags & BSV_F_CRC;
  if (crc) {
    if (bsv_crc8(p + 3, n - 4) != p[n - 1]) return -1;
    rd.n = n - 1;
  }
  h->sid = rd.get(8);
  h->bid = rd.get(8);
  h->stime = rd.get(8);
  h->ver_id = static_cast<uint32_t>(rd.get(4));
  h->app_id = static_cast<uint16_t>(rd.get(2));
  h->os_id = static_cast<uint8_t>(rd.get(1));
  h->arch_id = static_cast<uint8_t>(rd.get(1));
  h->type_id = static_cast<uint16_t>(rd.get(2));
  std::string host = rd.str();
  std::string d = rd.str();
  if (!rd.ok || rd.at != rd.n) return -1;
  if (hostname) *hostname = std::move(host);
  if (data) data->assign(d.begin(), d.end());
  return 0;
}

std::vector<uint8_t> bsv_pcap_file_header() {
  std::vector<uint8_t> o;
  le32(o, 0xa1b2c3d4);  // microsecond time stamps
  le16(o, 2);
  le16(o, 4);
  le32(o, 0);  // this zone
  le32(o, 0);  // accuracy
  le32(o, 65535);
  le32(o, 147);  // LINKTYPE_USER0: our own packets, no link layer
  return o;
}

std::vector<uint8_t> bsv_pcap_rec_header(uint64_t sec, uint32_t usec, uint32_t len) {
  std::vector<uint8_t> o;
  le32(o, static_cast<uint32_t>(sec));
  le32(o, usec);
  le32(o, len);
  le32(o, len);
  return o;
}

int bsv_target_parse(const char* url, bsv_target* out) {
  if (url == nullptr || out == nullptr || *url == '\0') return -1;
  // A bare "host:port" is read as a udp URL.
  std::string text = strstr(url, "://") ? url : std::string("udp://") + url;
  url_t u;
  char buf[URL_BUF_SIZE];
  if (url_parser(&u, buf, sizeof buf, text.c_str()) != 0) return -1;
  if (strcmp(u.scheme, "udps") == 0) return -1;
  if (*u.host == '\0' || u.port <= 0 || u.port > 65535) return -1;
  out->host = u.host;
  out->port = u.port;
  out->protect = false;
  return 0;
}
