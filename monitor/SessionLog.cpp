#include "monitor/SessionLog.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// The worker looks at the inbox this often, or sooner when this much waits.
constexpr auto WakeInterval = std::chrono::milliseconds(100);
constexpr std::size_t WakeBytes = std::size_t{1} << 20;
// Formatted text waits for one write of about this size, or a second.
constexpr std::size_t WriteBytes = std::size_t{1} << 20;
constexpr auto WriteInterval = std::chrono::seconds(1);

constexpr afp::TArrivalTime Everything = std::numeric_limits<afp::TArrivalTime>::max();

std::int64_t FloorDiv(std::int64_t value, std::int64_t by) { return value >= 0 ? value / by : (value + 1) / by - 1; }

std::unique_ptr<QFile> CreateFile(const QString& path) {
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        throw std::runtime_error("Cannot create file " + path.toLocal8Bit().toStdString());
    return file;
}

void AppendHex(std::string& text, std::string_view bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::size_t at = text.size();
    text.resize(at + 3 * bytes.size());
    char* out = text.data() + at;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        *out++ = ' ';
        *out++ = digits[byte >> 4];
        *out++ = digits[byte & 0x0F];
    }
}

}  // namespace

TSessionLog::TSessionLog(const QString& path, bool rawFiles, TFailureHandler onFailure)
    : path_(path), onFailure_(std::move(onFailure)) {
    file_ = CreateFile(path);
    if (rawFiles)
        for (int port = 1; port <= 2; ++port) raw_[port - 1] = CreateFile(RawPath(path, port));
    const afp::TArrivalTime now = afp::ArrivalNow();
    dateSecond_ = FloorDiv(now, 1000000);
    date_ = clock_.Date(now);
    text_ = "# Kalvaro log, " + date_ + "\n";
    mark_ = 0;
    worker_ = std::thread([this] { Run(); });
}

TSessionLog::~TSessionLog() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

QString TSessionLog::RawPath(const QString& path, int port) {
    const QFileInfo info(path);
    const QString stem = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
    return info.dir().filePath(stem + QStringLiteral(".port%1.bin").arg(port));
}

void TSessionLog::Add(TLogSource source, int comNumber, std::string_view bytes, const afp::TArrivalChunks& chunks) {
    std::size_t at = 0;
    for (const afp::TArrivalChunk& chunk : chunks) {
        const std::size_t count = std::min<std::size_t>(chunk.Count, bytes.size() - at);
        if (count > 0) Hand({chunk.Time, source, comNumber, std::string(bytes.substr(at, count))});
        at += count;
    }
    // Bytes without a time of their own came with the last run.
    if (at < bytes.size())
        Hand({chunks.empty() ? afp::ArrivalNow() : chunks.back().Time, source, comNumber,
              std::string(bytes.substr(at))});
}

void TSessionLog::AddSent(int comNumber, std::string_view bytes, afp::TArrivalTime time) {
    if (!bytes.empty()) Hand({time, TLogSource::Sent, comNumber, std::string(bytes)});
}

void TSessionLog::Hand(TEntry entry) {
    bool wake = false;
    {
        std::lock_guard guard(lock_);
        if (dead_ || overflow_) return;
        inboxBytes_ += entry.Bytes.size();
        inbox_.push_back(std::move(entry));
        if (inboxBytes_ > MaxBacklogBytes) overflow_ = true;
        wake = inboxBytes_ >= WakeBytes;
    }
    if (wake) wake_.notify_all();
}

void TSessionLog::CompleteBefore(afp::TArrivalTime time) {
    std::lock_guard guard(lock_);
    mark_ = std::max(mark_, time);
}

void TSessionLog::Run() {
    auto lastWrite = Clock::now();
    std::vector<TEntry> incoming;
    std::unique_lock guard(lock_);
    for (;;) {
        wake_.wait_for(guard, WakeInterval, [this] { return stopping_ || overflow_ || inboxBytes_ >= WakeBytes; });
        incoming.swap(inbox_);
        inboxBytes_ = 0;
        const bool stopping = stopping_;
        const bool overflow = overflow_;
        const afp::TArrivalTime mark = stopping ? Everything : mark_;
        guard.unlock();

        if (!failed_) {
            if (overflow) {
                Fail(path_, QStringLiteral("more than %1 MiB waited to be written").arg(MaxBacklogBytes >> 20));
            } else {
                Take(incoming, mark);
                if (stopping) EndLine();
                const bool due = stopping || text_.size() >= WriteBytes || Clock::now() - lastWrite >= WriteInterval;
                if (due) {
                    WriteOut();
                    lastWrite = Clock::now();
                }
            }
        }
        incoming.clear();
        if (failed_) {
            pending_.clear();
            pendingBytes_ = 0;
        }

        guard.lock();
        if (failed_) {
            // Nothing more is taken, and nothing wakes the worker early.
            dead_ = true;
            overflow_ = false;
            inbox_.clear();
            inboxBytes_ = 0;
        }
        if (stopping) break;
    }
    guard.unlock();
    file_.reset();
    for (auto& raw : raw_) raw.reset();
}

void TSessionLog::Take(std::vector<TEntry>& incoming, afp::TArrivalTime mark) {
    const std::size_t held = pending_.size();
    for (TEntry& entry : incoming) {
        pendingBytes_ += entry.Bytes.size();
        pending_.push_back(std::move(entry));
    }
    // Each source hands over in its own order; the sources are merged here.
    if (pending_.size() > held) {
        const auto byTime = [](const TEntry& a, const TEntry& b) { return a.Time < b.Time; };
        std::stable_sort(pending_.begin() + static_cast<std::ptrdiff_t>(held), pending_.end(), byTime);
        std::inplace_merge(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(held), pending_.end(),
                           byTime);
    }
    const auto due = std::partition_point(pending_.begin(), pending_.end(),
                                          [mark](const TEntry& entry) { return entry.Time < mark; });
    for (auto entry = pending_.begin(); entry != due; ++entry) {
        Format(*entry);
        pendingBytes_ -= entry->Bytes.size();
        if (text_.size() >= WriteBytes && !WriteOut()) return;  // Run drops the rest
    }
    pending_.erase(pending_.begin(), due);
    if (pendingBytes_ > MaxBacklogBytes)
        Fail(path_, QStringLiteral("more than %1 MiB waited to be written").arg(MaxBacklogBytes >> 20));
}

void TSessionLog::Format(const TEntry& entry) {
    if (entry.Source != TLogSource::Sent && raw_[static_cast<int>(entry.Source)])
        rawText_[static_cast<int>(entry.Source)] += entry.Bytes;

    const std::int64_t millisecond = FloorDiv(entry.Time, 1000);
    if (lineOpen_ && entry.Source == lineSource_ && entry.ComNumber == lineCom_ && millisecond == lineMillisecond_) {
        AppendHex(text_, entry.Bytes);
        return;
    }
    EndLine();
    if (const std::int64_t second = FloorDiv(entry.Time, 1000000); second != dateSecond_) {
        dateSecond_ = second;
        if (std::string date = clock_.Date(entry.Time); date != date_) {
            date_ = std::move(date);
            text_ += "# " + date_ + "\n";
        }
    }
    clock_.AppendTime(text_, entry.Time);
    text_ += " COM" + std::to_string(entry.ComNumber) + (entry.Source == TLogSource::Sent ? " >" : " <");
    AppendHex(text_, entry.Bytes);
    lineOpen_ = true;
    lineSource_ = entry.Source;
    lineCom_ = entry.ComNumber;
    lineMillisecond_ = millisecond;
}

void TSessionLog::EndLine() {
    if (!lineOpen_) return;
    text_ += '\n';
    lineOpen_ = false;
}

bool TSessionLog::WriteOut() {
    if (failed_) return false;
    const auto writeAll = [this](QFile& file, std::string& text) {
        // A write cut short tells no reason; the next one, failing, does.
        for (std::size_t done = 0; done < text.size();) {
            const qint64 written = file.write(text.data() + done, static_cast<qint64>(text.size() - done));
            if (written <= 0) {
                Fail(file.fileName(), file.errorString());
                return false;
            }
            done += static_cast<std::size_t>(written);
        }
        text.clear();
        return true;
    };
    if (!writeAll(*file_, text_)) return false;
    for (std::size_t port = 0; port < raw_.size(); ++port)
        if (raw_[port] && !writeAll(*raw_[port], rawText_[port])) return false;
    return true;
}

void TSessionLog::Fail(const QString& file, const QString& reason) {
    if (failed_) return;
    failed_ = true;
    file_.reset();
    for (auto& raw : raw_) raw.reset();
    text_.clear();
    for (auto& raw : rawText_) raw.clear();
    if (onFailure_)
        onFailure_(("Cannot write to " + file + ": " + reason + ". The log has stopped").toLocal8Bit().toStdString());
}
