// The program's HTTP client, over libcurl. make_agent builds a new Agent for
// every single request; nothing of a connection survives it. An Agent, its
// HttpResponse and the body stream belong to the thread that made them. The
// one thing agents share is the TLS session cache (tls_session_cache), which
// any number of threads may use at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "lib/error_text.hpp"

inline constexpr std::string_view USER_AGENT = "ReefTownSetup/2";
inline constexpr int CONNECT_TIMEOUT_S = 15;
inline constexpr int READ_TIMEOUT_S = 60;
inline constexpr int REDIRECT_LIMIT = 5;
// Largest body that fetch_text accepts, counted after gzip decoding.
inline constexpr std::size_t TEXT_BODY_LIMIT = 10485760;
// First room for a body whose length is not declared.
inline constexpr std::size_t BODY_FIRST_ROOM = 1048576;

// What an agent may be given besides its fixed settings. The defaults are the
// program's own; tests shorten the time-outs and trust a test authority.
struct AgentSettings {
  // One deadline per URL of a redirect chain, taken before the name lookup
  // and held until a TCP connection stands; the TLS handshake is not under it.
  std::chrono::milliseconds connect_timeout = std::chrono::seconds(CONNECT_TIMEOUT_S);
  // Longest wait for data once connected; not a limit on the whole response.
  std::chrono::milliseconds read_timeout = std::chrono::seconds(READ_TIMEOUT_S);
  // PEM text of the roots to trust instead of the built-in ones; empty for
  // the built-in set.
  std::string roots_pem;
};

// Why get gave no response.
struct HttpError {
  enum Kind { Status, Transport };
  Kind kind = Transport;
  // Status: the final answer's status code.
  int status = 0;
  // Status: the URL that gave the answer. Transport: the URL given to get,
  // empty when it does not parse. Both in normal form.
  std::string url;
  // Status: the first URL of the chain when a redirect was followed.
  std::string first_url;
  // Transport: libcurl's words for the kind of failure, and its message
  // (possibly empty).
  std::string kind_text;
  std::string message;
};

// The text of an error: "{url}: status code {n}" with " (redirected from
// {first url})" for Status, "{url}: {kind}: {message}" for Transport.
std::string describe_http_error(const HttpError& error);

// One transfer: the curl handles and the state of the answer being read.
struct HttpTransfer;
struct TransferDeleter {
  void operator()(HttpTransfer* transfer) const;
};
using TransferPtr = std::unique_ptr<HttpTransfer, TransferDeleter>;

// The body of a response, readable once, with read_body or (when its agent
// was given a buffer) read_whole_body. Dropping it before its end closes the
// connection; that is no error.
struct HttpBody {
  TransferPtr transfer;
};

// Blocks from malloc, so that realloc can grow a body without copying it.
struct FreeBytes {
  void operator()(std::uint8_t* bytes) const noexcept;
};
using ByteBlock = std::unique_ptr<std::uint8_t, FreeBytes>;

// Gives `bytes` room for `size` bytes, keeping those it holds; false when
// memory is short, leaving it as it was. New room is left uninitialised on
// purpose: the pages of a large block are backed only once written, so room
// for a limit costs only what it holds, and realloc moves a large block by
// remapping it, without copying its bytes.
bool resize_block(ByteBlock& bytes, std::size_t size);

// Room that bodies are read into whole. Its owner keeps it from one body to
// the next, so that memory already backed by pages is used again.
struct BodyBuffer {
  ByteBlock bytes;
  std::size_t room = 0;
};

// The answer of get when the final status is below 400.
struct HttpResponse {
  int status = 0;
  HttpBody body;
};

struct Agent {
  TransferPtr transfer;

  // GET `url`, following redirects, until the final answer's head is in; the
  // body is left to read. An agent serves one get: the transfer moves into
  // the response, and a second call is a Transport error.
  std::expected<HttpResponse, HttpError> get(std::string_view url);
};

// A new agent with the program's settings; cannot fail (a handle that could
// not be made shows up as a Transport error of get). The first call in the
// process builds the TLS session cache.
Agent make_agent(const AgentSettings& settings = {});

// The next body bytes, with chunked framing and a gzip content coding
// removed, into `buf`: how many, 0 at the end of the body (or for an empty
// `buf`), or the read error's own text. After an error every further read
// gives the same error.
std::expected<std::size_t, ErrorText> read_body(HttpBody& body, std::span<std::uint8_t> buf);

// Has the body of the answer that `agent`'s get gives go from libcurl
// straight into `buffer`, from its start, for read_whole_body to wait for;
// read_body gives nothing of such a body. At most `limit` bytes, counted
// after gzip decoding, are taken; the rest is never read. Room is made as
// the body comes: its Content-Length when the server declares one (never
// past `limit`), else the room `buffer` has or BODY_FIRST_ROOM, then twice
// as much whenever it is full. `buffer` must outlive the response.
void receive_body_into(Agent& agent, BodyBuffer& buffer, std::size_t limit);

// Reads a body that goes into a buffer (see receive_body_into) to its end or
// to the limit: how many bytes the buffer holds, or the read error's own
// text, as read_body gives it.
std::expected<std::size_t, ErrorText> read_whole_body(HttpBody& body);

// One small document as text (invalid UTF-8 replaced by U+FFFD): "cannot
// reach the download server ({})" when get fails, the read error's text when
// the body cannot be read, "response too big for into_string" past
// TEXT_BODY_LIMIT.
std::expected<std::string, ErrorText> fetch_text(std::string url,
                                                 const AgentSettings& settings = {});
