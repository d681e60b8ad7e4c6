#include "reports/status_encoding.h"

#include <zlib.h>

#include <cstring>

#include "platform/error.h"

namespace sentrel {

namespace {

// Level 6 is zlib's own default: a 3 MB page shrinks to a tenth in a few tens of
// milliseconds, once per change of the model.
constexpr int kLevel = Z_DEFAULT_COMPRESSION;

std::string Deflate(std::string_view data, int windowBits, int flush) {
  z_stream z{};
  if (deflateInit2(&z, kLevel, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw SentrelError("Sentrel-Webserver: cannot start compressing");
  std::string out;
  out.resize(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, flush);
  const size_t produced = out.size() - z.avail_out;
  const bool done =
      flush == Z_FINISH ? rc == Z_STREAM_END : (rc == Z_OK && z.avail_in == 0 && z.avail_out > 0);
  deflateEnd(&z);
  if (!done) throw SentrelError("Sentrel-Webserver: compressing a reply failed");
  out.resize(produced);
  return out;
}

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Whether a quality value ("1", "0.5", "0", "0.000") is above zero.
bool QualityAboveZero(std::string_view q) {
  for (char c : q) {
    if (c >= '1' && c <= '9') return true;
    if (c != '0' && c != '.') return false;  // not a number: treat as refused
  }
  return false;
}

}  // namespace

std::string DeflatePiece(std::string_view data, bool last) {
  return Deflate(data, -MAX_WBITS, last ? Z_FINISH : Z_FULL_FLUSH);
}

std::string_view GzipHeader() {
  // Magic, deflate, no flags, no time, no extra flags, operating system "unknown".
  static constexpr char kHeader[] = {'\x1f', '\x8b', '\x08', 0, 0, 0, 0, 0, 0, '\xff'};
  return std::string_view(kHeader, sizeof kHeader);
}

std::string GzipTrailer(uint32_t crc, uint64_t size) {
  std::string out;
  PutLe32(out, crc);
  PutLe32(out, static_cast<uint32_t>(size & 0xffffffffu));
  return out;
}

std::string Gzip(std::string_view data) {
  std::string out(GzipHeader());
  out += DeflatePiece(data, true);
  out += GzipTrailer(Crc32(data), data.size());
  return out;
}

uint32_t Crc32(std::string_view data) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t sizeB) {
  return static_cast<uint32_t>(crc32_combine(crcA, crcB, static_cast<z_off_t>(sizeB)));
}

bool AcceptsGzip(std::string_view value) {
  int gzip = -1;  // -1 not named, 0 refused, 1 welcome
  int any = -1;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    std::string_view item = value.substr(0, comma);
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    const size_t semi = item.find(';');
    const std::string_view coding = Trim(item.substr(0, semi));
    bool welcome = true;
    if (semi != std::string_view::npos) {
      std::string_view params = item.substr(semi + 1);
      while (!params.empty()) {
        const size_t next = params.find(';');
        std::string_view p = Trim(params.substr(0, next));
        params = next == std::string_view::npos ? std::string_view() : params.substr(next + 1);
        if (p.size() >= 2 && Lower(p[0]) == 'q' && Trim(p.substr(1)).starts_with('='))
          welcome = QualityAboveZero(Trim(Trim(p.substr(1)).substr(1)));
      }
    }
    if (EqualsNoCase(coding, "gzip") || EqualsNoCase(coding, "x-gzip"))
      gzip = welcome ? 1 : 0;
    else if (coding == "*")
      any = welcome ? 1 : 0;
  }
  return gzip >= 0 ? gzip == 1 : any == 1;
}

StatusRequest ParseStatusRequest(std::string_view bytes) {
  StatusRequest r;
  const size_t lineEnd = bytes.find('\n');
  const std::string_view line = Trim(bytes.substr(0, lineEnd));
  const size_t sp = line.find(' ');
  if (sp != std::string_view::npos) {
    std::string_view target = line.substr(sp + 1);
    target = target.substr(0, target.find(' '));
    // An absolute form ("GET http://host:8080/metrics") names the path after the host.
    if (target.starts_with("http://") || target.starts_with("https://")) {
      const size_t slash = target.find('/', target.find("//") + 2);
      target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    r.path = target.substr(0, target.find_first_of("?#"));
  }
  if (lineEnd == std::string_view::npos) return r;

  bool body = false;
  std::string encodings;
  size_t pos = lineEnd + 1;
  while (pos < bytes.size()) {
    const size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) break;  // a header cut off: the head is incomplete
    const std::string_view header = Trim(bytes.substr(pos, end - pos));
    pos = end + 1;
    if (header.empty()) {
      // Anything after the empty line is more than one GET would send.
      r.complete = !body && pos == bytes.size();
      break;
    }
    const size_t colon = header.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = Trim(header.substr(0, colon));
    const std::string_view value = Trim(header.substr(colon + 1));
    if (EqualsNoCase(name, "accept-encoding")) {
      if (!encodings.empty()) encodings += ',';
      encodings += value;
    } else if (EqualsNoCase(name, "transfer-encoding") ||
               (EqualsNoCase(name, "content-length") && value != "0")) {
      body = true;
    }
  }
  r.gzip = AcceptsGzip(encodings);
  return r;
}

void AppendLabelValue(std::string& out, std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  AppendValidUtf8(valid, text);
  for (char ch : valid) {
    if (ch == '\\')
      out += "\\\\";
    else if (ch == '"')
      out += "\\\"";
    else if (ch == '\n')
      out += "\\n";
    else
      out += ch;
  }
}

}  // namespace sentrel
