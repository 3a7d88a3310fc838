// Entropy decoding of the end of a sequential scan ahead of the reader, on a
// helper thread's idle time (see TailDecoder in jpeg_reader_internal.h).
#include "jpeg_reader_internal.h"

#include <algorithm>
#include <new>

namespace vex::jpeg {

namespace {

// What the decoded MCUs may take: beyond this the reader decodes the rest.
constexpr std::int64_t kMaxRecordBytes = std::int64_t{16} << 20;
// Starts after a decoding error (each a little further on) before giving up.
constexpr std::size_t kMaxAttempts = 64;
// The share of the data decoded ahead: the helper's idle time on photographs
// covers about a tenth of the entropy decoding.
constexpr int kShareDivisor = 8;

std::atomic<std::int64_t> g_taken{0};

std::int64_t CountFF(const std::uint8_t* p, const std::uint8_t* end) {
  std::int64_t n = 0;
  while (p < end) {
    const void* f = std::memchr(p, 0xFF, static_cast<std::size_t>(end - p));
    if (!f) break;
    ++n;
    p = static_cast<const std::uint8_t*>(f) + 1;
  }
  return n;
}

} // namespace

TailDecoder::TailDecoder(vex::platform::Stream* source, std::int64_t scan_start,
                         std::int64_t file_size, const Component* comps, int ncomp,
                         std::int64_t mcus)
    : source_(source), scan_start_(scan_start), file_size_(file_size), ncomp_(ncomp), mcus_(mcus) {
  for (int i = 0; i < ncomp; ++i) {
    comps_[i] = comps[i];
    own_[i].DCTable = comps[i].c->DCTable;
    own_[i].ACTable = comps[i].c->ACTable;
    blocks_ += comps[i].blocks;
  }
  attempts_.reserve(kMaxAttempts);
}

TailDecoder::~TailDecoder() = default;

bool TailDecoder::Prepare() {
  const std::int64_t size = file_size_ - scan_start_;
  if (size < 4096 || mcus_ < 2) return false;
  const std::int64_t record = std::int64_t{blocks_} * (64 * 2 + 1) + 8 + 4 + 16;
  cap_ = std::min<std::int64_t>(mcus_ / 4 + 16, kMaxRecordBytes / record);
  const std::int64_t share =
      std::min<std::int64_t>({size / kShareDivisor, size / mcus_ * cap_, std::int64_t{64} << 20});
  if (share < 1024) return false;
  std::int64_t at = file_size_ - share;
  // The stuffed zero bytes before `at` (its bit position leaves them out);
  // the data must not end before it.
  constexpr std::int32_t kChunk = 1 << 16;
  std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[kChunk]);
  if (!chunk) return false;
  std::int64_t stuffed = 0;
  bool after_ff = false;
  for (std::int64_t off = scan_start_; off < at;) {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(kChunk, at - off));
    if (source_->ReadAt(off, chunk.get(), n) != n) return false;
    const std::uint8_t* p = chunk.get();
    const std::uint8_t* const e = p + n;
    if (after_ff) {
      if (*p != 0x00) return false;
      ++p;
      after_ff = false;
    }
    while (p < e) {
      const void* f = std::memchr(p, 0xFF, static_cast<std::size_t>(e - p));
      if (!f) break;
      const auto* q = static_cast<const std::uint8_t*>(f);
      ++stuffed;
      if (q + 1 == e) {
        after_ff = true;
        break;
      }
      if (q[1] != 0x00) return false;
      p = q + 2;
    }
    off += n;
  }
  // The bytes from `at` to the end; a stuffed zero first is passed over.
  size_ = file_size_ - at;
  bytes_.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size_)]);
  if (!bytes_ || source_->ReadAt(at, bytes_.get(), static_cast<std::int32_t>(size_)) != size_)
    return false;
  data_ = bytes_.get();
  std::int64_t begin = 0;
  if (after_ff) {
    if (data_[0] != 0x00) return false;
    begin = 1;
  }
  // The data ends at the first 0xFF that is not a stuffed one (a lone 0xFF
  // as the last byte is data). A DNL marker there: not for this decoder.
  end_ = size_;
  for (const std::uint8_t* p = data_ + begin; p < data_ + size_;) {
    const void* f = std::memchr(p, 0xFF, static_cast<std::size_t>(data_ + size_ - p));
    if (!f) break;
    const auto* q = static_cast<const std::uint8_t*>(f);
    if (q + 1 >= data_ + size_) break;
    if (q[1] != 0x00) {
      if (q[1] == 0xDC) return false;
      end_ = q - data_;
      break;
    }
    p = q + 2;
  }
  if (end_ - begin < 64) return false;
  records_ = vex::platform::LargeBuffer(static_cast<std::size_t>(cap_ * record), false);
  if (!records_) return false;
  auto* m = static_cast<std::uint8_t*>(records_.get());
  coef_ = reinterpret_cast<std::int16_t*>(m);
  m += cap_ * blocks_ * 64 * 2;
  pos_ = reinterpret_cast<std::int64_t*>(m);
  m += cap_ * 8;
  dc_ = reinterpret_cast<std::int32_t*>(m);
  m += cap_ * 16;
  attempt_ = reinterpret_cast<std::int32_t*>(m);
  m += cap_ * 4;
  flat_ = m;
  base_ = 8 * ((at + begin - scan_start_) - stuffed);
  Begin(begin);
  first_.store(base_, std::memory_order_release);
  return true;
}

void TailDecoder::Begin(std::int64_t at) {
  start_ = at;
  br_.BeginMemory(data_ + at, size_ - at);
  for (int i = 0; i < ncomp_; ++i) own_[i].LastDC = 0;
  at_ = br_.Save();
  std::fill(std::begin(at_dc_), std::end(at_dc_), 0);
  std::lock_guard lock(mutex_);
  attempts_.push_back({count_, count_, false, {}, {}});
}

void TailDecoder::EndAttempt() {
  Attempt& a = attempts_.back();
  if (a.ended) return;
  a.end = count_;
  a.state = at_;
  std::copy(std::begin(at_dc_), std::end(at_dc_), a.dc);
  a.ended = true;
}

bool TailDecoder::One() {
  if (count_ == cap_) {
    std::lock_guard lock(mutex_);
    EndAttempt();
    return false;
  }
  const std::int64_t k = count_;
  std::int16_t* out = coef_ + k * blocks_ * 64;
  std::uint8_t* flat = flat_ + k * blocks_;
  std::memset(out, 0, static_cast<std::size_t>(blocks_) * 64 * sizeof(std::int16_t));
  try {
    int b = 0;
    for (int i = 0; i < ncomp_; ++i)
      for (int j = 0; j < comps_[i].blocks; ++j, ++b)
        flat[b] = !DecodeBlockSequential(br_, own_[i], *comps_[i].dc, *comps_[i].ac, out + b * 64);
  } catch (...) {
    // Not yet in step, or damage the reader will meet itself: this attempt
    // ends where the MCU began, and another begins a byte further on.
    {
      std::lock_guard lock(mutex_);
      EndAttempt();
    }
    if (attempts_.size() >= kMaxAttempts) return false;
    std::int64_t at = (at_.ptr - data_) + 1;
    while (at < end_ && data_[at - 1] == 0xFF) ++at;
    if (at >= end_) return false;
    base_ += 8 * ((at - start_) - CountFF(data_ + start_, data_ + at));
    Begin(at);
    return true;
  }
  // An MCU that met the end of the data is the reader's to decode.
  if (br_.Padded()) {
    std::lock_guard lock(mutex_);
    EndAttempt();
    return false;
  }
  pos_[k] = base_ + at_.loaded - at_.count;
  attempt_[k] = static_cast<std::int32_t>(attempts_.size() - 1);
  std::copy(std::begin(at_dc_), std::begin(at_dc_) + 4, dc_ + k * 4);
  count_ = k + 1;
  published_.store(count_, std::memory_order_release);
  at_ = br_.Save();
  for (int i = 0; i < ncomp_; ++i) at_dc_[i] = own_[i].LastDC;
  return true;
}

bool TailDecoder::Work(int n) {
  {
    std::lock_guard lock(mutex_);
    if (stop_ || done_) return false;
    running_ = true;
  }
  bool more = true;
  if (!prepared_) {
    prepared_ = true;
    more = Prepare();
  }
  for (int i = 0; i < n && more; ++i) more = One();
  std::lock_guard lock(mutex_);
  running_ = false;
  if (stop_ && !attempts_.empty()) EndAttempt();
  if (stop_ || !more) done_ = true;
  idle_.notify_all();
  return !done_;
}

void TailDecoder::Halt() {
  std::unique_lock lock(mutex_);
  stop_ = true;
  idle_.wait(lock, [&] { return !running_; });
  if (!attempts_.empty()) EndAttempt();
  done_ = true;
}

bool TailDecoder::Meet(std::int64_t pos, const std::int32_t* last_dc, std::int64_t& next) {
  const std::int64_t published = published_.load(std::memory_order_acquire);
  while (next_ < published && pos_[next_] < pos) ++next_;
  if (next_ < published && pos_[next_] == pos) {
    attempt_now_ = attempt_[next_];
    for (int i = 0; i < ncomp_; ++i)
      delta_[i] =
          static_cast<std::uint32_t>(last_dc[i]) - static_cast<std::uint32_t>(dc_[next_ * 4 + i]);
    return true;
  }
  if (next_ < published) {
    next = pos_[next_];
    return false;
  }
  // The helper is behind the reader: what it decodes would come too late.
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  next = std::numeric_limits<std::int64_t>::max();
  return false;
}

bool TailDecoder::Take(std::int16_t* const* coef, std::uint8_t* const* flat) {
  if (attempt_now_ < 0) return false;
  std::int64_t published = published_.load(std::memory_order_acquire);
  if (next_ >= published) {
    Halt();
    published = published_.load(std::memory_order_acquire);
  }
  if (next_ >= published || attempt_[next_] != attempt_now_) return false;
  const std::int16_t* src = coef_ + next_ * blocks_ * 64;
  const std::uint8_t* flags = flat_ + next_ * blocks_;
  for (int i = 0; i < ncomp_; ++i) {
    const auto delta = static_cast<std::uint16_t>(delta_[i]);
    for (int j = 0; j < comps_[i].blocks; ++j, src += 64, ++flags) {
      std::int16_t* dst = coef[i] + j * 64;
      std::memcpy(dst, src, 64 * sizeof(std::int16_t));
      // The predictor wraps like the 16-bit coefficient it feeds.
      dst[0] = static_cast<std::int16_t>(static_cast<std::uint16_t>(dst[0]) + delta);
      flat[i][j] = *flags;
    }
  }
  ++next_;
  ++taken_;
  g_taken.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void TailDecoder::Resume(BitReader& br, std::int32_t* last_dc) {
  Halt();
  std::lock_guard lock(mutex_);
  const Attempt& a = attempts_[static_cast<std::size_t>(attempt_now_)];
  br.Restore(a.state);
  for (int i = 0; i < ncomp_; ++i)
    last_dc[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(a.dc[i]) + delta_[i]);
  attempt_now_ = -1;
}

std::int64_t TailMCUsTaken() {
  return g_taken.load(std::memory_order_relaxed);
}

} // namespace vex::jpeg
