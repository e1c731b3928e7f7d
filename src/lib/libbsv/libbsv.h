// libbsv: the bsv record channel. Every log call (but those of the "bsv" and
// "net" tags) can become a typed value record that travels as a UDP packet to
// a collector, into a capture file, or to in-process readers.
//
// Byte order is big-endian (network order) everywhere. A text field ("-str")
// is a u16 length followed by that many bytes, without a terminator.
//
// Value record of a log call:
//   sec-u64, usec-u32, pid-u32, tid-u32, level-u8,
//   tag | tid_name | file | line | func | msg  (six -str fields; line in decimal)
//
// UDP packet:
//   "bsv"  flags-u8  length-u16  type-u8 (5)
//   sid-u64  bid-u64  stime-u64  ver_id-u32  app_id-u16  os_id-u8  arch_id-u8
//   type_id-u16  hostname-str  data-str (the value record)
//   [crc-u8 when flags has BSV_F_CRC: CRC-8 of the bytes from flags on]
// `length` counts the whole packet, CRC included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// Packet flags.
enum : uint8_t {
  BSV_F_CRC = 0x02,        // a CRC-8 closes the packet
  BSV_F_PROTECTED = 0x04,  // "udps": protected contents (not offered, see bsv_target_parse)
};

enum : uint8_t { BSV_PKT_TYPE = 5 };
/// type_id of a log-call value record.
enum : uint16_t { BSV_TYPE_LOG = 1 };

/// Limits: the record's text fields together, and a whole packet with its CRC.
constexpr size_t BSV_TEXT_MAX = 1430;
constexpr size_t BSV_PKT_MAX = 1472;
/// Fixed bytes in front of the hostname field.
constexpr size_t BSV_PKT_HEAD = 41;

/// One log call as the channel takes it. Texts may be null (sent empty).
struct bsv_log_rec {
  uint64_t sec = 0;
  uint32_t usec = 0;
  uint32_t pid = 0;
  uint32_t tid = 0;
  uint8_t level = 0;
  const char* tag = nullptr;
  const char* tid_name = nullptr;
  const char* file = nullptr;  // source path, without the build tree's root
  int line = 0;
  const char* func = nullptr;
  const char* msg = nullptr;
  size_t msg_len = 0;
};

/// A value record read back from bytes.
struct bsv_log_view {
  uint64_t sec = 0;
  uint32_t usec = 0, pid = 0, tid = 0;
  uint8_t level = 0;
  std::string tag, tid_name, file, line, func, msg;
};

/// Header fields of a packet.
struct bsv_pkt_hdr {
  uint8_t flags = 0;
  uint64_t sid = 0;    // session: random per channel
  uint64_t bid = 0;    // packet number within the session, from 1
  uint64_t stime = 0;  // session start, microseconds since 1970
  uint32_t ver_id = 0;
  uint16_t app_id = 0;
  uint8_t os_id = 0;
  uint8_t arch_id = 0;
  uint16_t type_id = BSV_TYPE_LOG;
};

/// CRC-8, polynomial 0x07, initial value 0, no reflection.
uint8_t bsv_crc8(const uint8_t* p, size_t n);

/// Program version "1.0.1.0" packed one byte per part (0x01000100); parts
/// beyond four are ignored, missing parts count 0.
uint32_t bsv_ver_id(const char* version);
/// Id of an application name in the product family table ("tarn" 1,
/// "wysd" 2), 0 for an unknown name.
uint16_t bsv_app_id(const char* name);
/// os_id and arch_id of this build ("linux" 2; "x86" 1, "x64" 2, "arm" 9,
/// "arm64" 10; 0 unknown).
uint8_t bsv_os_id();
uint8_t bsv_arch_id();

/// Encodes the value record, cutting the texts so that together they take at
/// most `text_max` bytes (the message gives way first). Returns the bytes.
std::vector<uint8_t> bsv_rec_encode(const bsv_log_rec& r, size_t text_max = BSV_TEXT_MAX);
/// Decodes a value record. Returns 0, or -1 when the bytes are short,
/// overlong or malformed (nothing is read past `n`).
int bsv_rec_decode(const uint8_t* p, size_t n, bsv_log_view* out);

/// Builds a UDP packet around the record of `r` with `hostname` (cut to 64),
/// cutting the record's texts so that the packet with its CRC stays within
/// BSV_PKT_MAX. Returns the packet.
std::vector<uint8_t> bsv_packet_build(const bsv_pkt_hdr& h, const char* hostname, const bsv_log_rec& r);
/// Splits a packet: header, host name and record bytes. Checks the magic,
/// the type, the length field against `n` and the CRC when flagged. Returns
/// 0 or -1.
int bsv_packet_parse(const uint8_t* p, size_t n, bsv_pkt_hdr* h, std::string* hostname,
                     std::vector<uint8_t>* data);

/// Capture file: the 24-byte file header (link type 147, user-defined) and
/// the 16-byte header in front of each packet.
std::vector<uint8_t> bsv_pcap_file_header();
std::vector<uint8_t> bsv_pcap_rec_header(uint64_t sec, uint32_t usec, uint32_t len);

/// Target of the UDP output: "udp://host:port" or "host:port" (any scheme
/// but "udps"); a port is required.
struct bsv_target {
  std::string host;
  int port = 0;
  bool protect = false;
};
/// Parses a target URL. Returns 0, or -1 when host or port is missing or the
/// scheme is "udps" (protected packets are not offered: records would
/// otherwise leave unprotected while the user asked for protection).
int bsv_target_parse(const char* url, bsv_target* out);

/// Fixed bytes of a value record besides its texts.
constexpr size_t BSV_REC_FIXED = 21 + 12;

struct rbuf;
struct bsv_chan;

/// Opens a channel. `app` names the program for app_id. Never null.
bsv_chan* bsv_chan_open(const char* app);
/// Stops the "bsvnet" thread (sending what is queued, waiting at most 2 s),
/// closes the socket, drops the reader registrations and frees the channel. Null is
/// accepted.
void bsv_chan_close(bsv_chan* c);
/// Sets the UDP target and starts the "bsvnet" thread when needed; nullptr
/// or "" switches the UDP output off. Returns 0, or -1 for a target that
/// bsv_target_parse refuses (the old one is kept).
int bsv_chan_set_target(bsv_chan* c, const char* url);
/// True when a UDP target is set.
bool bsv_chan_has_target(bsv_chan* c);
/// Adds an in-process reader: every record is written into `ring` as one
/// encoded value record of at most `max_len` bytes (its texts cut to fit;
/// give the ring's slot room). The caller keeps owning the ring and closes it
/// only after bsv_chan_reader_del or bsv_chan_close. Returns the reader's id
/// (> 0), or -1 for a null ring or a `max_len` that holds no record.
int bsv_chan_reader_add(bsv_chan* c, rbuf* ring, uint32_t max_len);
/// Removes a reader by id. Returns 0, or -1 when no such reader exists.
int bsv_chan_reader_del(bsv_chan* c, int id);
/// Hands one record to the readers and, when `udp` is set and a target is
/// set, queues its packet for the "bsvnet" thread (at most 1024 queued; more
/// are dropped rather than making the caller wait). Returns 0.
int bsv_chan_put(bsv_chan* c, const bsv_log_rec& r, bool udp);
/// Packets sent and dropped so far (for tests and the report).
uint64_t bsv_chan_sent(bsv_chan* c);
uint64_t bsv_chan_dropped(bsv_chan* c);
/// Builds the packet bsv_chan_put would send for `r` (next packet number).
std::vector<uint8_t> bsv_chan_packet(bsv_chan* c, const bsv_log_rec& r);
