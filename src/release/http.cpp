#include "release/http.hpp"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "lib/utf8.hpp"
#include "release/roots.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* ALLOWED_SCHEMES = "http,https";
constexpr const char* TLS13_SUITES =
    "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* TLS12_SUITES =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* TLS_GROUPS = "X25519:P-256:P-384";
// As libcurl parses the targets of redirects itself: blanks and bytes
// outside ASCII are percent-encoded rather than refused or sent raw.
constexpr unsigned int URL_FLAGS = CURLU_URLENCODE | CURLU_ALLOW_SPACE;

// What every agent of the process shares: libcurl's TLS session cache
// behind a share handle, with one lock per kind of data that libcurl may
// lock (it can hold two kinds at once).
struct TlsSessionCache {
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
};

void lock_shared(CURL*, curl_lock_data data, curl_lock_access, void* cache) {
  static_cast<TlsSessionCache*>(cache)->locks[static_cast<std::size_t>(data)].lock();
}

void unlock_shared(CURL*, curl_lock_data data, void* cache) {
  static_cast<TlsSessionCache*>(cache)->locks[static_cast<std::size_t>(data)].unlock();
}

// Built by the first make_agent of the process, on whichever thread; later
// callers wait for it. Never torn down, since agents on other threads may
// still use it while the process ends.
TlsSessionCache& tls_session_cache() {
  static TlsSessionCache* const cache = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto* built = new TlsSessionCache;
    built->share = curl_share_init();
    if (built->share) {
      curl_share_setopt(built->share, CURLSHOPT_LOCKFUNC, lock_shared);
      curl_share_setopt(built->share, CURLSHOPT_UNLOCKFUNC, unlock_shared);
      curl_share_setopt(built->share, CURLSHOPT_USERDATA, built);
      curl_share_setopt(built->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    return built;
  }();
  return *cache;
}

enum class GzipState { Idle, InMember, AfterMember };

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view trim_ows(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

std::string join_error(std::string_view url, std::string_view kind, std::string_view message) {
  std::string text;
  for (std::string_view part : {url, kind, message}) {
    if (part.empty()) continue;
    if (!text.empty()) text += ": ";
    text += part;
  }
  return text;
}

std::string duration_text(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlPtr = std::unique_ptr<CURLU, UrlDeleter>;

// One text that libcurl allocated, as a std::string; empty when there is none.
std::string take_curl_text(char* text) {
  if (!text) return {};
  std::string copy(text);
  curl_free(text);
  return copy;
}

std::string url_text(CURLU* url, unsigned int flags) {
  char* text = nullptr;
  if (curl_url_get(url, CURLUPART_URL, &text, flags) != CURLUE_OK) return {};
  return take_curl_text(text);
}

// Host names compare without letter case; the normal form writes them in
// lower case, and so does the request.
void lower_host(CURLU* url) {
  char* host = nullptr;
  if (curl_url_get(url, CURLUPART_HOST, &host, 0) != CURLUE_OK) return;
  std::string lowered = lower_ascii(take_curl_text(host));
  curl_url_set(url, CURLUPART_HOST, lowered.c_str(), 0);
}

std::string normal_form(CURLU* url) { return url_text(url, CURLU_NO_DEFAULT_PORT); }

// The address as requested: never with credentials, never with a fragment.
std::string request_url(CURLU* url) {
  UrlPtr copy(curl_url_dup(url));
  if (!copy) return {};
  curl_url_set(copy.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(copy.get(), CURLUPART_PASSWORD, nullptr, 0);
  curl_url_set(copy.get(), CURLUPART_FRAGMENT, nullptr, 0);
  return url_text(copy.get(), CURLU_NO_DEFAULT_PORT);
}

HttpError transport_error(std::string url, CURLcode kind, std::string message) {
  HttpError error;
  error.kind = HttpError::Transport;
  error.url = std::move(url);
  error.kind_text = curl_easy_strerror(kind);
  error.message = std::move(message);
  return error;
}

// The exchange with one URL of a redirect chain: begun afresh, as a whole,
// for every URL.
struct Exchange {
  std::string url;
  int head_status = 0;
  bool head_done = false;
  std::optional<std::string> location;
  std::optional<std::string> content_encoding;
  // The answer's body is gzip coded; known once its head is in.
  bool gzip = false;
  Clock::time_point connect_deadline;
  bool connected = false;
  bool got_bytes = false;
  Clock::time_point last_data;
  bool finished = false;
  CURLcode result = CURLE_OK;
  CURLMcode multi_result = CURLM_OK;
  // Why a callback refused the answer, ending the transfer; empty when none
  // did.
  std::string refused;
  // libcurl's words for the last failure; it writes here in place.
  char error_buffer[CURL_ERROR_SIZE] = {};
  // The sockets open now, for the connect deadline to look at.
  std::vector<curl_socket_t> sockets;
  // Body bytes as libcurl delivered them, not yet handed to the reader.
  std::string raw;
  std::size_t raw_pos = 0;
};

// Where a body read whole goes (receive_body_into), and how much of it is
// there.
struct WholeBody {
  BodyBuffer* buffer = nullptr;
  std::size_t limit = 0;
  std::size_t size = 0;
  bool sized = false;
};

}  // namespace

struct HttpTransfer {
  // The handles and what was made of the settings; fixed once make_agent is
  // done.
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  CURLcode setup = CURLE_OK;  // the first option that libcurl refused
  std::chrono::milliseconds connect_timeout{0};
  std::chrono::milliseconds read_timeout{0};

  // Whether get has run, and whether the easy handle is in the multi handle.
  bool used = false;
  bool attached = false;
  Exchange exchange;

  // Reading the final answer's body.
  WholeBody whole;
  z_stream inflater{};
  bool inflater_ready = false;
  GzipState gzip_state = GzipState::Idle;
  std::optional<ErrorText> read_error;
};

void FreeBytes::operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }

bool resize_block(ByteBlock& bytes, std::size_t size) {
  void* grown = std::realloc(bytes.get(), std::max<std::size_t>(size, 1));
  if (!grown) return false;
  (void)bytes.release();
  bytes.reset(static_cast<std::uint8_t*>(grown));
  return true;
}

void TransferDeleter::operator()(HttpTransfer* transfer) const {
  if (transfer->attached) curl_multi_remove_handle(transfer->multi, transfer->easy);
  if (transfer->easy) curl_easy_cleanup(transfer->easy);
  if (transfer->multi) curl_multi_cleanup(transfer->multi);
  curl_slist_free_all(transfer->headers);
  if (transfer->inflater_ready) inflateEnd(&transfer->inflater);
  delete transfer;
}

namespace {

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  Exchange& e = static_cast<HttpTransfer*>(user)->exchange;
  const std::size_t length = size * count;
  e.got_bytes = true;
  // Lines after the final head are trailers of a chunked body.
  if (e.head_done) return length;
  std::string_view line(data, length);
  if (line.starts_with("HTTP/")) {
    // libcurl has checked the status line; the code follows the first blank.
    e.head_status = 0;
    const std::size_t blank = line.find(' ');
    if (blank != std::string_view::npos)
      for (std::size_t i = blank + 1; i < line.size() && i < blank + 4; ++i)
        if (line[i] >= '0' && line[i] <= '9') e.head_status = e.head_status * 10 + (line[i] - '0');
    e.location.reset();
    e.content_encoding.reset();
    return length;
  }
  line = trim_ows(line);
  if (line.empty()) {
    // Nothing here asks to switch protocols. libcurl would take the 101 for
    // the final answer and whatever follows for its body.
    if (e.head_status == 101) {
      e.refused = "status code 101 (switching protocols) that was not asked for";
      return 0;
    }
    // An interim 1xx head is followed by the real one.
    if (e.head_status < 100 || e.head_status >= 200) {
      e.head_done = true;
      if (e.content_encoding) {
        const std::string coding = lower_ascii(*e.content_encoding);
        e.gzip = coding == "gzip" || coding == "x-gzip";
      }
    }
    return length;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return length;
  const std::string name = lower_ascii(line.substr(0, colon));
  const std::string_view value = trim_ows(line.substr(colon + 1));
  if (name == "location" && !e.location) e.location = std::string(value);
  if (name == "content-encoding" && !e.content_encoding) e.content_encoding = std::string(value);
  return length;
}

bool keep_whole(HttpTransfer& t, std::span<const std::uint8_t> input);

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<HttpTransfer*>(user);
  Exchange& e = t.exchange;
  const std::size_t length = size * count;
  e.got_bytes = true;
  // libcurl saw the head end where we did not. Nobody reads before get has
  // the head, so these bytes would only pile up.
  if (!e.head_done && length > 0) {
    e.refused = "body data before the end of the head";
    return 0;
  }
  // Only a 2xx answer is sure to be the final one; the body of any other
  // waits here until get has decided.
  if (t.whole.buffer && e.head_status < 300)
    return keep_whole(t, {reinterpret_cast<const std::uint8_t*>(data), length}) ? length : 0;
  e.raw.append(data, length);
  return length;
}

// Sockets are made here so that the connect deadline can tell when one of
// them is connected.
curl_socket_t on_open_socket(void* user, curlsocktype, curl_sockaddr* address) {
  Exchange& e = static_cast<HttpTransfer*>(user)->exchange;
  const curl_socket_t fd =
      ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd != CURL_SOCKET_BAD) e.sockets.push_back(fd);
  return fd;
}

int on_close_socket(void* user, curl_socket_t fd) {
  Exchange& e = static_cast<HttpTransfer*>(user)->exchange;
  std::erase(e.sockets, fd);
  return ::close(fd);
}

bool any_socket_connected(const HttpTransfer& t) {
  for (curl_socket_t fd : t.exchange.sockets) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) return true;
  }
  return false;
}

template <typename Value>
void set_option(HttpTransfer& t, CURLoption option, Value value) {
  const CURLcode code = curl_easy_setopt(t.easy, option, value);
  if (code != CURLE_OK && t.setup == CURLE_OK) t.setup = code;
}

void begin_exchange(HttpTransfer& t, CURLU* url) {
  t.exchange = {};
  t.exchange.url = normal_form(url);
  const std::string target = request_url(url);
  set_option(t, CURLOPT_URL, target.c_str());
  t.exchange.connect_deadline = Clock::now() + t.connect_timeout;
  t.attached = curl_multi_add_handle(t.multi, t.easy) == CURLM_OK;
}

void end_exchange(HttpTransfer& t) {
  if (t.attached) curl_multi_remove_handle(t.multi, t.easy);
  t.attached = false;
}

void note_finished(HttpTransfer& t) {
  Exchange& e = t.exchange;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(t.multi, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    e.finished = true;
    e.result = message->data.result;
  }
}

enum class Drive { Ready, Ended, ConnectTimeout, ReadTimeout, Broken };

// Runs the transfer until `ready` holds or it ends, under the connect
// deadline until a socket is connected and the read time-out after that.
template <typename Ready>
Drive drive(HttpTransfer& t, Ready ready) {
  Exchange& e = t.exchange;
  if (!t.attached) {
    e.multi_result = CURLM_BAD_EASY_HANDLE;
    return Drive::Broken;
  }
  for (;;) {
    int running = 0;
    e.got_bytes = false;
    e.multi_result = curl_multi_perform(t.multi, &running);
    if (e.multi_result != CURLM_OK) return Drive::Broken;
    note_finished(t);
    if (ready(e)) return Drive::Ready;
    if (e.finished) return Drive::Ended;

    const Clock::time_point now = Clock::now();
    if (e.got_bytes) e.last_data = now;
    if (!e.connected && any_socket_connected(t)) {
      e.connected = true;
      e.last_data = now;
    }
    const Clock::time_point limit = e.connected ? e.last_data + t.read_timeout : e.connect_deadline;
    if (now >= limit) return e.connected ? Drive::ReadTimeout : Drive::ConnectTimeout;

    const auto wait = std::clamp<std::chrono::milliseconds::rep>(
        std::chrono::ceil<std::chrono::milliseconds>(limit - now).count(), 1, 1000);
    int ready_sockets = 0;
    e.multi_result = curl_multi_wait(t.multi, nullptr, 0, static_cast<int>(wait), &ready_sockets);
    if (e.multi_result != CURLM_OK) return Drive::Broken;
    if (ready_sockets > 0) e.last_data = Clock::now();
  }
}

// The error of a drive that did not become ready, in the words of libcurl
// where it has any.
std::pair<CURLcode, std::string> drive_failure(const HttpTransfer& t, Drive outcome) {
  const Exchange& e = t.exchange;
  switch (outcome) {
    case Drive::ConnectTimeout:
      return {CURLE_OPERATION_TIMEDOUT, "no connection within " + duration_text(t.connect_timeout)};
    case Drive::ReadTimeout:
      return {CURLE_OPERATION_TIMEDOUT, "no data received for " + duration_text(t.read_timeout)};
    case Drive::Broken:
      return {CURLE_FAILED_INIT, curl_multi_strerror(e.multi_result)};
    case Drive::Ended:
    case Drive::Ready:
      break;
  }
  if (!e.refused.empty()) return {CURLE_WEIRD_SERVER_REPLY, e.refused};
  // A transfer that ended well without a head sent nothing usable.
  const CURLcode code = e.result != CURLE_OK ? e.result : CURLE_GOT_NOTHING;
  return {code, std::string(trim_ows(e.error_buffer))};
}

bool is_followed(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Resolves a Location value against `url` in place (RFC 3986). libcurl
// resolves every reference but the ones that only change the fragment. The
// current fragment never carries over, and libcurl would read a "/" or "?"
// inside it as part of the path, so it goes first.
CURLUcode resolve_location(CURLU* url, const std::string& location) {
  CURLUcode code = curl_url_set(url, CURLUPART_FRAGMENT, nullptr, 0);
  if (code == CURLUE_OK && location.starts_with('#'))
    code = curl_url_set(url, CURLUPART_FRAGMENT,
                        location.size() > 1 ? location.c_str() + 1 : nullptr, 0);
  else if (code == CURLUE_OK && !location.empty())
    code = curl_url_set(url, CURLUPART_URL, location.c_str(), URL_FLAGS);
  if (code == CURLUE_OK) lower_host(url);
  return code;
}

ErrorText read_failure(HttpTransfer& t, CURLcode kind, std::string_view message) {
  t.read_error = join_error(t.exchange.url, curl_easy_strerror(kind), message);
  return *t.read_error;
}

// How much of its input an inflate_into call used and how much it made.
struct Inflated {
  std::size_t used = 0;
  std::size_t produced = 0;
};

// Decodes gzip bytes of `input` into `output` until either is used up.
// Members that follow one another are decoded in turn, as gzip files made by
// concatenation are; bytes after a member that do not begin another one are
// corrupt data.
std::expected<Inflated, ErrorText> inflate_into(HttpTransfer& t,
                                                std::span<const std::uint8_t> input,
                                                std::span<std::uint8_t> output) {
  Inflated done;
  if (!t.inflater_ready) {
    if (input.empty()) return done;
    if (inflateInit2(&t.inflater, 16 + MAX_WBITS) != Z_OK)
      return std::unexpected(read_failure(t, CURLE_OUT_OF_MEMORY, "cannot start gzip decoding"));
    t.inflater_ready = true;
  }
  while (done.produced < output.size()) {
    if (t.gzip_state != GzipState::InMember) {
      if (done.used == input.size()) break;
      if (t.gzip_state == GzipState::AfterMember) inflateReset(&t.inflater);
      t.gzip_state = GzipState::InMember;
    }
    // zlib only reads through next_in.
    t.inflater.next_in = const_cast<Bytef*>(input.data() + done.used);
    t.inflater.avail_in =
        static_cast<uInt>(std::min<std::size_t>(input.size() - done.used, UINT_MAX));
    t.inflater.next_out = output.data() + done.produced;
    t.inflater.avail_out =
        static_cast<uInt>(std::min<std::size_t>(output.size() - done.produced, UINT_MAX));
    const uInt in_before = t.inflater.avail_in;
    const uInt out_before = t.inflater.avail_out;
    const int code = inflate(&t.inflater, Z_NO_FLUSH);
    done.used += in_before - t.inflater.avail_in;
    done.produced += out_before - t.inflater.avail_out;
    if (code == Z_STREAM_END) {
      t.gzip_state = GzipState::AfterMember;
      continue;
    }
    if (code == Z_OK || code == Z_BUF_ERROR) break;
    const char* message = t.inflater.msg ? t.inflater.msg : zError(code);
    return std::unexpected(
        read_failure(t, CURLE_BAD_CONTENT_ENCODING, std::string("gzip data: ") + message));
  }
  return done;
}

// Decoded bytes of a gzip body into `buf`; 0 when more input is needed.
std::expected<std::size_t, ErrorText> inflate_some(HttpTransfer& t, std::span<std::uint8_t> buf) {
  Exchange& e = t.exchange;
  const auto* raw = reinterpret_cast<const std::uint8_t*>(e.raw.data());
  auto done = inflate_into(t, {raw + e.raw_pos, e.raw.size() - e.raw_pos}, buf);
  if (!done) return std::unexpected(done.error());
  e.raw_pos += done->used;
  return done->produced;
}

// Room for the body read whole before its first byte: its declared length,
// when that is more than the buffer has.
bool size_whole(HttpTransfer& t) {
  WholeBody& w = t.whole;
  w.sized = true;
  curl_off_t declared = -1;
  if (curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) != CURLE_OK ||
      declared <= 0)
    return true;
  const std::size_t room = static_cast<std::size_t>(
      std::min<unsigned long long>(static_cast<unsigned long long>(declared), w.limit));
  if (room <= w.buffer->room) return true;
  // Nothing in the buffer is of use yet: a fresh block spares realloc's copy.
  w.buffer->bytes.reset();
  w.buffer->room = 0;
  if (!resize_block(w.buffer->bytes, room)) return false;
  w.buffer->room = room;
  return true;
}

// Puts body bytes, gzip decoded when the answer is so coded, into the buffer
// of a body read whole, making room as it fills: false when they cannot all
// be taken, because the limit is reached or a read error was recorded.
bool keep_whole(HttpTransfer& t, std::span<const std::uint8_t> input) {
  WholeBody& w = t.whole;
  BodyBuffer& buffer = *w.buffer;
  if (!w.sized && !size_whole(t)) {
    read_failure(t, CURLE_OUT_OF_MEMORY, "no room for the body");
    return false;
  }
  for (;;) {
    const std::size_t usable = std::min(buffer.room, w.limit);
    if (w.size == usable) {
      if (usable == w.limit) return input.empty();
      const std::size_t room = std::min(std::max(buffer.room * 2, BODY_FIRST_ROOM), w.limit);
      if (!resize_block(buffer.bytes, room)) {
        read_failure(t, CURLE_OUT_OF_MEMORY, "no room for the body");
        return false;
      }
      buffer.room = room;
      continue;
    }
    const std::span<std::uint8_t> output(buffer.bytes.get() + w.size, usable - w.size);
    if (!t.exchange.gzip) {
      const std::size_t count = std::min(input.size(), output.size());
      std::memcpy(output.data(), input.data(), count);
      w.size += count;
      input = input.subspan(count);
      if (input.empty()) return true;
      continue;
    }
    auto done = inflate_into(t, input, output);
    if (!done) return false;
    w.size += done->produced;
    input = input.subspan(done->used);
    // Room left over: zlib has made all it can of the input given.
    if (done->produced < output.size()) return input.empty();
  }
}

// The end of a body once libcurl has finished the transfer: the read error
// when it ended badly or inside a gzip member; otherwise the exchange ends.
std::optional<ErrorText> end_body(HttpTransfer& t) {
  const Exchange& e = t.exchange;
  if (e.result != CURLE_OK) return read_failure(t, e.result, trim_ows(e.error_buffer));
  if (e.gzip && t.gzip_state == GzipState::InMember)
    return read_failure(t, CURLE_BAD_CONTENT_ENCODING, "gzip data: unexpected end of stream");
  end_exchange(t);
  return std::nullopt;
}

std::size_t copy_raw(HttpTransfer& t, std::span<std::uint8_t> buf) {
  Exchange& e = t.exchange;
  const std::size_t count = std::min(buf.size(), e.raw.size() - e.raw_pos);
  std::memcpy(buf.data(), e.raw.data() + e.raw_pos, count);
  e.raw_pos += count;
  return count;
}

}  // namespace

std::string describe_http_error(const HttpError& error) {
  if (error.kind == HttpError::Status) {
    std::string text = error.url + ": status code " + std::to_string(error.status);
    if (!error.first_url.empty()) text += " (redirected from " + error.first_url + ")";
    return text;
  }
  return join_error(error.url, error.kind_text, error.message);
}

Agent make_agent(const AgentSettings& settings) {
  TlsSessionCache& tls = tls_session_cache();
  TransferPtr transfer(new HttpTransfer);
  HttpTransfer& t = *transfer;
  t.connect_timeout = settings.connect_timeout;
  t.read_timeout = settings.read_timeout;
  t.multi = curl_multi_init();
  t.easy = curl_easy_init();
  t.headers = curl_slist_append(nullptr, "accept-encoding: gzip");
  if (!t.multi || !t.easy || !t.headers) {
    t.setup = CURLE_OUT_OF_MEMORY;
    return Agent{std::move(transfer)};
  }

  set_option(t, CURLOPT_NOSIGNAL, 1L);
  set_option(t, CURLOPT_ERRORBUFFER, t.exchange.error_buffer);
  set_option(t, CURLOPT_PROTOCOLS_STR, ALLOWED_SCHEMES);
  set_option(t, CURLOPT_REDIR_PROTOCOLS_STR, ALLOWED_SCHEMES);
  set_option(t, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set_option(t, CURLOPT_HTTPGET, 1L);
  set_option(t, CURLOPT_USERAGENT, USER_AGENT.data());
  set_option(t, CURLOPT_HTTPHEADER, t.headers);
  // Redirects and gzip are handled here, the same way for every answer.
  set_option(t, CURLOPT_FOLLOWLOCATION, 0L);
  set_option(t, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  set_option(t, CURLOPT_HTTP_TRANSFER_DECODING, 1L);
  set_option(t, CURLOPT_PROXY, "");
  set_option(t, CURLOPT_NOPROXY, "*");
  set_option(t, CURLOPT_TCP_NODELAY, 1L);
  set_option(t, CURLOPT_FORBID_REUSE, 1L);
  set_option(t, CURLOPT_FRESH_CONNECT, 1L);
  // A transfer given up during the name lookup must not wait for the lookup
  // to end, or the connect deadline would not hold.
  set_option(t, CURLOPT_QUICK_EXIT, 1L);
  // The time-outs are enforced by drive(); libcurl's own connect limit would
  // also cover the TLS handshake, so it is kept far out of the way.
  set_option(t, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(INT_MAX));
  set_option(t, CURLOPT_HEADERFUNCTION, on_header);
  set_option(t, CURLOPT_HEADERDATA, &t);
  set_option(t, CURLOPT_WRITEFUNCTION, on_body);
  set_option(t, CURLOPT_WRITEDATA, &t);
  set_option(t, CURLOPT_OPENSOCKETFUNCTION, on_open_socket);
  set_option(t, CURLOPT_OPENSOCKETDATA, &t);
  set_option(t, CURLOPT_CLOSESOCKETFUNCTION, on_close_socket);
  set_option(t, CURLOPT_CLOSESOCKETDATA, &t);

  set_option(
      t, CURLOPT_SSLVERSION,
      static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_3));
  set_option(t, CURLOPT_TLS13_CIPHERS, TLS13_SUITES);
  set_option(t, CURLOPT_SSL_CIPHER_LIST, TLS12_SUITES);
  set_option(t, CURLOPT_SSL_EC_CURVES, TLS_GROUPS);
  set_option(t, CURLOPT_SSL_ENABLE_ALPN, 0L);
  set_option(t, CURLOPT_SSL_VERIFYPEER, 1L);
  set_option(t, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_blob roots{};
  if (settings.roots_pem.empty()) {
    roots = {const_cast<unsigned char*>(BUILTIN_ROOTS_PEM), BUILTIN_ROOTS_PEM_SIZE,
             CURL_BLOB_NOCOPY};
  } else {
    roots = {const_cast<char*>(settings.roots_pem.data()), settings.roots_pem.size(),
             CURL_BLOB_COPY};
  }
  set_option(t, CURLOPT_CAINFO_BLOB, &roots);
  // Without these two the distribution's build still reads /etc/ssl/certs.
  set_option(t, CURLOPT_CAINFO, static_cast<char*>(nullptr));
  set_option(t, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  if (tls.share) set_option(t, CURLOPT_SHARE, tls.share);
  return Agent{std::move(transfer)};
}

std::expected<HttpResponse, HttpError> Agent::get(std::string_view url) {
  UrlPtr current(curl_url());
  if (!current) return std::unexpected(transport_error({}, CURLE_OUT_OF_MEMORY, {}));
  const std::string given(url);
  if (const CURLUcode code = curl_url_set(current.get(), CURLUPART_URL, given.c_str(), URL_FLAGS);
      code != CURLUE_OK)
    return std::unexpected(transport_error({}, CURLE_URL_MALFORMAT, curl_url_strerror(code)));
  lower_host(current.get());
  const std::string first_url = normal_form(current.get());

  if (!transfer || transfer->used)
    return std::unexpected(
        transport_error(first_url, CURLE_FAILED_INIT, "the agent has already served a request"));
  HttpTransfer& t = *transfer;
  const Exchange& e = t.exchange;
  t.used = true;
  if (t.setup != CURLE_OK)
    return std::unexpected(transport_error(first_url, t.setup, "cannot set up the request"));

  int redirect_class = 0;
  int followed = 0;
  for (;;) {
    begin_exchange(t, current.get());
    const Drive outcome = drive(t, [](const Exchange& x) { return x.head_done; });
    if (outcome != Drive::Ready) {
      auto [code, message] = drive_failure(t, outcome);
      end_exchange(t);
      return std::unexpected(transport_error(first_url, code, std::move(message)));
    }
    const int status = e.head_status;
    if (status >= 300 && status <= 398) {
      if (++redirect_class >= REDIRECT_LIMIT) {
        end_exchange(t);
        return std::unexpected(
            transport_error(first_url, CURLE_TOO_MANY_REDIRECTS,
                            "reached max redirects (" + std::to_string(REDIRECT_LIMIT) + ")"));
      }
      if (e.location && is_followed(status)) {
        end_exchange(t);
        if (const CURLUcode code = resolve_location(current.get(), *e.location); code != CURLUE_OK)
          return std::unexpected(transport_error(
              first_url, CURLE_URL_MALFORMAT,
              "bad redirect location \"" + *e.location + "\": " + curl_url_strerror(code)));
        ++followed;
        continue;
      }
    }
    if (status >= 400) {
      end_exchange(t);
      HttpError error;
      error.kind = HttpError::Status;
      error.status = status;
      error.url = e.url;
      if (followed > 0) error.first_url = first_url;
      return std::unexpected(std::move(error));
    }
    HttpResponse response;
    response.status = status;
    response.body.transfer = std::move(transfer);
    return response;
  }
}

std::expected<std::size_t, ErrorText> read_body(HttpBody& body, std::span<std::uint8_t> buf) {
  if (!body.transfer || buf.empty() || body.transfer->whole.buffer) return 0;
  HttpTransfer& t = *body.transfer;
  Exchange& e = t.exchange;
  if (t.read_error) return std::unexpected(*t.read_error);
  for (;;) {
    std::size_t count = 0;
    if (e.gzip) {
      auto decoded = inflate_some(t, buf);
      if (!decoded) return std::unexpected(decoded.error());
      count = *decoded;
    } else {
      count = copy_raw(t, buf);
    }
    if (count > 0) return count;

    if (e.finished) {
      if (auto error = end_body(t)) return std::unexpected(std::move(*error));
      return 0;
    }
    e.raw.erase(0, e.raw_pos);
    e.raw_pos = 0;
    // Each read waits afresh, however long the caller took since the last.
    e.last_data = Clock::now();
    const Drive outcome = drive(t, [](const Exchange& x) { return x.raw_pos < x.raw.size(); });
    if (outcome == Drive::Ready || outcome == Drive::Ended) continue;
    auto [code, message] = drive_failure(t, outcome);
    return std::unexpected(read_failure(t, code, message));
  }
}

void receive_body_into(Agent& agent, BodyBuffer& buffer, std::size_t limit) {
  if (agent.transfer) agent.transfer->whole = {.buffer = &buffer, .limit = limit};
}

std::expected<std::size_t, ErrorText> read_whole_body(HttpBody& body) {
  if (!body.transfer || !body.transfer->whole.buffer) return 0;
  HttpTransfer& t = *body.transfer;
  Exchange& e = t.exchange;
  WholeBody& w = t.whole;
  for (;;) {
    if (e.raw_pos < e.raw.size()) {
      const auto* raw = reinterpret_cast<const std::uint8_t*>(e.raw.data());
      keep_whole(t, {raw + e.raw_pos, e.raw.size() - e.raw_pos});
      e.raw.clear();
      e.raw_pos = 0;
    }
    if (t.read_error) return std::unexpected(*t.read_error);
    // What lies beyond the limit is never read.
    if (w.size == w.limit) return w.size;
    if (e.finished) {
      if (auto error = end_body(t)) return std::unexpected(std::move(*error));
      return w.size;
    }
    e.last_data = Clock::now();
    const Drive outcome =
        drive(t, [&w](const Exchange& x) { return x.raw_pos < x.raw.size() || w.size == w.limit; });
    if (outcome == Drive::Ready || outcome == Drive::Ended) continue;
    auto [code, message] = drive_failure(t, outcome);
    return std::unexpected(read_failure(t, code, message));
  }
}

std::expected<std::string, ErrorText> fetch_text(std::string url, const AgentSettings& settings) {
  BodyBuffer buffer;
  Agent agent = make_agent(settings);
  // One byte past the limit is enough to know that the body is too big.
  receive_body_into(agent, buffer, TEXT_BODY_LIMIT + 1);
  auto response = agent.get(url);
  if (!response)
    return std::unexpected("cannot reach the download server (" +
                           describe_http_error(response.error()) + ")");
  const auto size = read_whole_body(response->body);
  if (!size) return std::unexpected(size.error());
  if (*size > TEXT_BODY_LIMIT) return std::unexpected("response too big for into_string");
  return utf8_lossy({reinterpret_cast<const char*>(buffer.bytes.get()), *size});
}
