#include "update/UpdateDownload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/NumberText.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "web/CurlSession.h"
#include "web/FetchPage.h"
#include "web/Text.h"
#include "web/UrlParts.h"

namespace morvane {

namespace {

// The body is taken in reads of this size into one fixed buffer; each full read is
// written and reported before the next begins. One buffer for the whole download keeps
// memory flat however large the program, and a read this small refreshes the progress
// labels several times a second even on a slow link.
constexpr std::size_t kReadSize = 10240;
// What the connection hands over at a time. It is larger than a read: taking the socket
// in 10240-byte slices costs about a fifth of the transfer speed on a fast link, and the
// reads above are cut from these pieces all the same.
constexpr long kReceiveSize = 128 * 1024;

// The elapsed time, in milliseconds, counted for a read that lands in the same millisecond
// as the start: the speed figure divides by it, and a system tick clock would not have
// moved for about this long either.
constexpr std::int64_t kElapsedWithinOneTick = 10;

constexpr const char* kRequestHeaders[] = {
    "Accept: */*",
    "Accept-Language: zh-cn",
    "Accept-Encoding: gzip, deflate",
    "User-Agent: Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)",
};

enum class Failure { None, Connection, Address, LocalFile, Reading };

const char* MessageFor(Failure failure) {
  switch (failure) {
    case Failure::Connection:
      return "Internet连接错误!";
    case Failure::Address:
      return "不能打开该URL!";
    case Failure::LocalFile:
      return "不能打开本地的文件!";
    default:
      return "读文件出错!";
  }
}

class Transfer {
 public:
  Transfer(Program& program, CURL* curl, const std::string& path, const DownloadProgress& progress,
           const WrittenBytes& written)
      : program_(program),
        curl_(curl),
        path_(path),
        progress_(progress),
        written_(written),
        mostBytes_(program.settings.mostDownloadBytes) {}
  ~Transfer() { CloseFile(); }

  bool Aborting() const { return program_.update.abortRequested.load(); }

  // Takes bytes as the connection delivers them; false stops the transfer.
  bool Take(const char* data, std::size_t size) {
    if (Aborting()) return false;
    if (!fileOpen_ && !OpenFile()) return false;
    // The file never grows past the cap, and the body never past its announced length.
    const std::uint64_t taken = static_cast<std::uint64_t>(received_) + filled_;
    if (size > mostBytes_ - taken ||
        (announced_ > 0 && (encoded_ ? static_cast<std::uint64_t>(WireBytes()) : taken + size) >
                               static_cast<std::uint64_t>(announced_)))
      return Fail(Failure::Reading);
    while (size > 0) {
      std::size_t n = std::min(size, kReadSize - filled_);
      std::memcpy(buffer_ + filled_, data, n);
      filled_ += n;
      data += n;
      size -= n;
      if (filled_ == kReadSize && !WriteRead()) return false;
    }
    return true;
  }

  // After the connection has delivered the whole body.
  bool Finish() {
    if (!fileOpen_ && !OpenFile()) return false;
    if (filled_ > 0 && !WriteRead()) return false;
    if (announced_ > 0 && (encoded_ ? WireBytes() : received_) != announced_)
      return Fail(Failure::Reading);
    int fd = fd_;
    fd_ = -1;
    fileOpen_ = false;
    if (close(fd) != 0) return Fail(Failure::Reading);
    return true;
  }

  bool Fail(Failure failure) {
    if (failure_ == Failure::None) failure_ = failure;
    return false;
  }
  Failure failure() const { return failure_; }
  bool fileOpen() const { return fileOpen_; }
  void CloseFile() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  // The local file is opened once the answer is known to be a success, so that an
  // address that cannot be opened is reported as such whatever the state of the file.
  bool OpenFile() {
    long status = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) return Fail(Failure::Address);
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return Fail(Failure::LocalFile);
    fileOpen_ = true;
    // Also the length that curl sets aside beside a chunked body: a body is refused past
    // any length it was announced with.
    announced_ = HeaderNumber("Content-Length");
    encoded_ = Encoded();
    // The announced length is that of the encoded body; the file's own size is then unknown.
    total_ = encoded_ ? 0 : announced_;
    if (static_cast<std::uint64_t>(announced_) > mostBytes_) return Fail(Failure::Reading);
    start_ = std::chrono::steady_clock::now();
    return true;
  }

  std::int64_t HeaderNumber(const char* name) const {
    curl_header* header = nullptr;
    if (curl_easy_header(curl_, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header)
      return 0;
    std::int64_t number = 0;
    const char* end = header->value + std::strlen(header->value);
    const auto [stop, error] = std::from_chars(header->value, end, number);
    return error == std::errc() && stop == end && number > 0 ? number : 0;
  }

  bool Encoded() const {
    curl_header* header = nullptr;
    return curl_easy_header(curl_, "Content-Encoding", 0, CURLH_HEADER, -1, &header) ==
               CURLHE_OK &&
           header != nullptr && strcasecmp(header->value, "identity") != 0;
  }

  // Body bytes as they came over the connection, before any decoding.
  std::int64_t WireBytes() const {
    curl_off_t bytes = 0;
    curl_easy_getinfo(curl_, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
    return static_cast<std::int64_t>(bytes);
  }

  bool WriteRead() {
    if (!WriteAll(fd_, std::string_view(buffer_, filled_))) return Fail(Failure::Reading);
    if (written_) written_(buffer_, filled_);
    received_ += static_cast<std::int64_t>(filled_);
    filled_ = 0;
    std::int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start_)
                               .count();
    if (elapsed == 0) elapsed = kElapsedWithinOneTick;
    if (progress_) progress_(total_, received_, elapsed, received_);
    return true;
  }

  Program& program_;
  CURL* curl_;
  const std::string& path_;
  const DownloadProgress& progress_;
  const WrittenBytes& written_;
  int fd_ = -1;
  bool fileOpen_ = false;
  Failure failure_ = Failure::None;
  const std::uint64_t mostBytes_;
  std::int64_t announced_ = 0;  // Content-Length, 0 when none
  bool encoded_ = false;        // Content-Encoding other than identity
  std::int64_t total_ = 0;      // what the progress figures call total
  std::int64_t received_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::size_t filled_ = 0;
  char buffer_[kReadSize];
};

std::size_t TakeBody(char* data, std::size_t size, std::size_t count, void* transfer) {
  return static_cast<Transfer*>(transfer)->Take(data, size * count) ? size * count : 0;
}

// Also called while no byte arrives, so a call-off is noticed on a stalled connection.
int CheckCallOff(void* transfer, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(transfer)->Aborting() ? 1 : 0;
}

DownloadOutcome Abandon(Program& program, const std::string& path, Failure failure) {
  DeleteFileIfPresent(path);
  if (program.update.abortRequested.load()) return DownloadOutcome::Aborted;
  program.ui.ShowMessage(Gbk(MessageFor(failure)), Gbk("信息："), MessageButtons::Ok,
                         MessageIcon::None);
  program.ui.EndProgram(0);
  return DownloadOutcome::Failed;
}

}  // namespace

DownloadOutcome DownloadToFile(Program& program, const std::string& address,
                               const std::string& path, const DownloadProgress& progress,
                               const WrittenBytes& written) {
  if (program.update.abortRequested.load()) {
    DeleteFileIfPresent(path);
    return DownloadOutcome::Aborted;
  }
  // curl's process-wide set-up must not race with another thread's first request.
  EnsureCurlReady();
  EasyHandle easy(curl_easy_init());
  HeaderList headers;
  for (const char* line : kRequestHeaders) {
    curl_slist* grown = curl_slist_append(headers.get(), line);
    if (!grown) {
      headers.reset();
      break;
    }
    (void)headers.release();
    headers.reset(grown);
  }
  if (!easy || !headers) return Abandon(program, path, Failure::Connection);
  CURL* const curl = easy.get();

  Transfer transfer(program, curl, path, progress, written);
  const std::string agent = "Agent" + std::to_string(TickCount());
  const FetchTimeouts timeouts = GetFetchTimeouts();
  curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  // The request admits gzip and deflate, so what the server encoded is decoded: the file is
  // the program. curl's own Accept-Encoding line gives way to the one of the header block.
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  HttpsGuard guard;
  RestrictToWebProtocols(curl, AddressIsSecure(address), guard);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveSize);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>((timeouts.stall.count() + 999) / 1000)));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCallOff);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

  const CURLcode result = curl_easy_perform(curl);
  bool complete = false;
  if (result != CURLE_OK) {
    // A transfer that broke off before the answer was accepted never reached the file.
    // Undecodable bytes are a bad body too.
    transfer.Fail(transfer.fileOpen() || result == CURLE_BAD_CONTENT_ENCODING ? Failure::Reading
                                                                                : Failure::Address);
  } else {
    complete = transfer.Finish();
  }
  easy.reset();
  headers.reset();
  transfer.CloseFile();

  if (program.update.abortRequested.load()) {
    DeleteFileIfPresent(path);
    return DownloadOutcome::Aborted;
  }
  if (!complete) return Abandon(program, path, transfer.failure());
  return DownloadOutcome::Complete;
}

double RoundHalfAway(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

std::string NumberText(double value) {
  return SignificantText(value, 13);
}

void ShowDownloadProgress(Program& program, std::int64_t total, std::int64_t received,
                          std::int64_t elapsed, std::int64_t fresh) {
  static const std::string kSpeedUnit = Gbk("KB/秒");
  static const std::string kDone = Gbk("已完成：");
  UpdateState::ShownProgress& shown = program.update.shownProgress;
  // Only what changed goes to the window: every post may wake the window thread, and
  // most reads change the speed alone.
  const bool first = !shown.any;
  shown.any = true;
  auto post = [&](std::string_view control, std::string& last, std::string text) {
    if (!first && text == last) return;
    program.ui.PostText(control, text);
    last = std::move(text);
  };
  const double speed = static_cast<double>(fresh) * 1000.0 / 1024.0 /
                       static_cast<double>(elapsed > 0 ? elapsed : 10);
  post("标签_下载速度", shown.speed, NumberText(RoundHalfAway(speed, 2)) + kSpeedUnit);
  if (total <= 0) {
    // No announced length: the share is unknown, so the bar stays put and the percentage
    // label tells how much has arrived instead.
    post("标签_已完成百分比", shown.percent,
         kDone + NumberText(RoundHalfAway(received / 1048576.0, 2)) + "MB");
    post("标签_总大小", shown.size, "");
    return;
  }
  const double got = static_cast<double>(received);
  const double size = static_cast<double>(total);
  const int bar = static_cast<int>(std::clamp(std::trunc(got * 10000.0 / size), 0.0, 10000.0));
  if (first || bar != shown.bar) {
    program.ui.PostProgress("进度条1", bar);
    shown.bar = bar;
  }
  post("标签_已完成百分比", shown.percent,
       kDone + NumberText(RoundHalfAway(got / size * 100.0, 0)) + "%");
  post("标签_总大小", shown.size, NumberText(RoundHalfAway(size / 1048576.0, 2)) + "MB");
}

}  // namespace morvane
