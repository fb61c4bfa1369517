// SPDX-License-Identifier: MIT
#include "UZipArchive.h"

#include "EVandrel.h"
#include "UHandles.h"
#include "UWriteBehind.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace UZipArchive {
namespace {

using TZip = THandle<zip_t, &zip_discard>;
using TZipFile = THandle<zip_file_t, &zip_fclose>;

// Samples deflated to judge a file: 16 x 64 KiB spread over it (the whole file when it is smaller).
constexpr qint64 cSampleSize = 64 * 1024;
constexpr int cSampleCount = 16;
// Deflate is used only when it saves at least 1%: below that (server-compressed backups) it costs many times the
// time of storing for nothing worth having.
constexpr double cDeflateWorthRatio = 0.99;
// Local and central headers, ZIP64 extras and the end records of a one-entry archive, without the name.
constexpr qint64 cArchiveOverhead = 30 + 46 + 2 * 32 + 56 + 20 + 22;
constexpr qint64 cExtractBufferSize = 1024 * 1024;

// Parallel deflate: the file is cut into blocks deflated at once on every core (at most cMaxDeflateThreads), each
// primed with the cDictionarySize bytes before it, so the joined stream is nearly as small as a single one.
constexpr qint64 cBlockSize = 1024 * 1024;
constexpr qint64 cDictionarySize = 32 * 1024;
constexpr unsigned cMaxDeflateThreads = 8;
// Input handed to zlib per call: a stop request is seen between calls.
constexpr qint64 cDeflateStep = 128 * 1024;
// How often a wait for a block looks at the cancel flag.
constexpr auto cCancelPoll = std::chrono::milliseconds(20);
// libzip writes ZIP64 headers for a deflated entry above this size, judging deflate's worst growth (5 bytes per
// 16 KiB); the byte-boundary ends of our blocks add up to 5 bytes per block more. Just below it (where that could
// cross 4 GiB without the ZIP64 headers) libzip deflates the file itself.
constexpr qint64 cLibzipDeflateZip64From = 4293656963;
constexpr qint64 cJoinedStreamMargin = 64 * 1024;

QString Local(const char* aText)
{
    return QString::fromLocal8Bit(aText);
}

QString ZipErrorText(int aCode, int aSystemError = 0)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_error_set(&error, aCode, aSystemError);
    const QString text = Local(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

[[noreturn]] void Fail(const QString& aMessage, const QString& aContext)
{
    EVandrel failure(aMessage);
    failure.AddContext(aContext);
    throw failure;
}

/// Opens aName for reading into aFd; false (errno set) when it cannot.
bool OpenForReading(TFd& aFd, const QString& aName)
{
    aFd.Reset(::open(QFile::encodeName(aName).constData(), O_RDONLY | O_CLOEXEC));
    return aFd.Get() >= 0;
}

// Reads up to aLength bytes at aOffset; fewer only at the end of the file. -1 on a read error.
qint64 ReadAt(int aFd, char* aBuffer, qint64 aLength, qint64 aOffset)
{
    qint64 done = 0;
    while (done < aLength) {
        const ssize_t n = ::pread(aFd, aBuffer + done, static_cast<size_t>(aLength - done), aOffset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

/// Deflates chunks at cDeflateLevel and counts what goes in and out.
class TDeflateSampler
{
public:
    TDeflateSampler()
    {
        std::memset(&FStream, 0, sizeof FStream);
        FReady = deflateInit2(&FStream, cDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    TDeflateSampler(const TDeflateSampler&) = delete;
    TDeflateSampler& operator=(const TDeflateSampler&) = delete;
    ~TDeflateSampler()
    {
        if (FReady)
            deflateEnd(&FStream);
    }
    /// Deflates one chunk; aLast ends the stream (a new sample starts a fresh one).
    void Add(const char* aData, qint64 aLength, bool aLast)
    {
        if (!FReady)
            return;
        FStream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aData));
        FStream.avail_in = static_cast<uInt>(aLength);
        In += aLength;
        const int flush = aLast ? Z_FINISH : Z_NO_FLUSH;
        int rc = Z_OK;
        do {
            FStream.next_out = FOut;
            FStream.avail_out = sizeof FOut;
            rc = deflate(&FStream, flush);
            Out += static_cast<qint64>(sizeof FOut - FStream.avail_out);
        } while (rc == Z_OK && (FStream.avail_in > 0 || (aLast && FStream.avail_out == 0)));
        if (aLast)
            deflateReset(&FStream);
    }
    qint64 In = 0;
    qint64 Out = 0;

private:
    z_stream FStream;
    bool FReady = false;
    Bytef FOut[16384];
};

/// Deflates a file in blocks on several threads and hands out one raw deflate stream, in order. Each block is
/// primed with the 32 KiB before it (deflateSetDictionary) and ends on a byte boundary (Z_SYNC_FLUSH: an empty
/// stored block), the last one ends the stream (Z_FINISH); the blocks' CRC-32s are combined in order. Memory is
/// bounded by the blocks in flight (twice the threads), never by the file's size. The file is read by the thread
/// that calls Read; failures are reported as libzip errors, never thrown across a thread.
class TParallelDeflate
{
public:
    TParallelDeflate(int aFd, qint64 aSize)
        : FFd(aFd)
        , FSize(aSize)
    {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        const unsigned threads = aSize <= cBlockSize ? 1u : std::min(cores, cMaxDeflateThreads);
        FMaxInFlight = 2 * threads;
        try {
            for (unsigned i = 0; i < threads; ++i)
                FThreads.emplace_back([this] { Work(); });
        } catch (...) {
            Stop();
            throw;
        }
    }
    TParallelDeflate(const TParallelDeflate&) = delete;
    TParallelDeflate& operator=(const TParallelDeflate&) = delete;
    ~TParallelDeflate() { Stop(); }

    /// Copies the next bytes of the stream into aData: their count, 0 at its end, -1 on failure or when aRunning
    /// turned false (aError then says which).
    zip_int64_t Read(void* aData, zip_uint64_t aLength, const std::atomic<bool>& aRunning, zip_error_t* aError)
    {
        for (;;) {
            if (!aRunning.load()) {
                zip_error_set(aError, ZIP_ER_CANCELLED, 0);
                return -1;
            }
            if (!Fill(aError))
                return -1;
            std::unique_lock lock(FMutex);
            if (FInFlight.empty())
                return 0;
            TBlock& head = *FInFlight.front();
            while (head.State == TBlock::Waiting || head.State == TBlock::Busy) {
                FDone.wait_for(lock, cCancelPoll);
                if (!aRunning.load()) {
                    zip_error_set(aError, ZIP_ER_CANCELLED, 0);
                    return -1;
                }
            }
            if (head.State == TBlock::Failed) {
                zip_error_set(aError, head.Error, head.Error == ZIP_ER_ZLIB ? head.ZlibCode : 0);
                return -1;
            }
            if (head.Delivered < head.OutLength) {
                const size_t n = std::min<size_t>(aLength, head.OutLength - head.Delivered);
                std::memcpy(aData, head.Out.data() + head.Delivered, n);
                head.Delivered += n;
                FProgress = FInputDone +
                            static_cast<qint64>(static_cast<double>(head.Length) * static_cast<double>(head.Delivered) /
                                                static_cast<double>(head.OutLength));
                return static_cast<zip_int64_t>(n);
            }
            FCrc = crc32_combine(FCrc, head.Crc, static_cast<z_off_t>(head.Length));
            FInputDone += head.Length;
            FProgress = FInputDone;
            FFinished = head.Last;
            FSpare.push_back(std::move(FInFlight.front()));
            FInFlight.pop_front();
        }
    }

    /// Stops the threads (a block being deflated is left within one step) and waits for them.
    void Stop() noexcept
    {
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FWork.notify_all();
        for (std::thread& thread : FThreads)
            thread.join();
        FThreads.clear();
    }

    /// Bytes of the file whose deflated form was handed out (within a block, in proportion to its output).
    qint64 InputDone() const { return FProgress; }
    /// True once the whole stream was handed out; Crc() is then the file's CRC-32.
    bool Finished() const { return FFinished; }
    quint32 Crc() const { return static_cast<quint32>(FCrc); }

private:
    struct TBlock
    {
        enum TState { Waiting, Busy, Done, Failed };
        std::vector<char> In; ///< the dictionary (DictLength bytes), then the block (Length bytes)
        qint64 DictLength = 0;
        qint64 Length = 0;
        bool Last = false;
        std::vector<unsigned char> Out;
        size_t OutLength = 0;
        size_t Delivered = 0;
        uLong Crc = 0;
        TState State = Waiting;
        int Error = ZIP_ER_OK;
        int ZlibCode = Z_OK;
    };

    /// Reads blocks of the file until the blocks in flight are as many as allowed or the file is all read.
    bool Fill(zip_error_t* aError)
    {
        for (;;) {
            std::unique_ptr<TBlock> block;
            {
                std::lock_guard lock(FMutex);
                if (FReadAll || FInFlight.size() >= FMaxInFlight)
                    return true;
                if (!FSpare.empty()) {
                    block = std::move(FSpare.back());
                    FSpare.pop_back();
                }
            }
            if (!block)
                block = std::make_unique<TBlock>();
            const qint64 length = std::min(cBlockSize, FSize - FReadOffset);
            const qint64 dictionary = static_cast<qint64>(FTail.size());
            block->In.resize(static_cast<size_t>(dictionary + length));
            if (!FTail.empty())
                std::memcpy(block->In.data(), FTail.data(), FTail.size());
            const qint64 got = ReadAt(FFd, block->In.data() + dictionary, length, FReadOffset);
            if (got != length) {
                // A file that shrinks while it is read is as bad as a read error.
                zip_error_set(aError, ZIP_ER_READ, got < 0 ? errno : EIO);
                return false;
            }
            block->DictLength = dictionary;
            block->Length = length;
            block->Last = FReadOffset + length >= FSize;
            block->OutLength = 0;
            block->Delivered = 0;
            block->State = TBlock::Waiting;
            const qint64 keep = std::min(cDictionarySize, length);
            FTail.assign(block->In.end() - keep, block->In.end());
            FReadOffset += length;
            {
                std::lock_guard lock(FMutex);
                FReadAll = block->Last;
                FInFlight.push_back(std::move(block));
            }
            FWork.notify_one();
        }
    }

    void Work() noexcept
    {
        z_stream stream;
        std::memset(&stream, 0, sizeof stream);
        const int init = deflateInit2(&stream, cDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        std::unique_lock lock(FMutex);
        for (;;) {
            TBlock* block = nullptr;
            FWork.wait(lock, [&] {
                if (FStop)
                    return true;
                for (const std::unique_ptr<TBlock>& b : FInFlight)
                    if (b->State == TBlock::Waiting) {
                        block = b.get();
                        return true;
                    }
                return false;
            });
            if (FStop)
                break;
            block->State = TBlock::Busy;
            lock.unlock();
            int error = ZIP_ER_OK;
            int code = init;
            if (init != Z_OK)
                error = ZIP_ER_ZLIB;
            else {
                try {
                    code = Deflate(stream, *block);
                    if (code != Z_OK)
                        error = ZIP_ER_ZLIB;
                } catch (const std::bad_alloc&) {
                    error = ZIP_ER_MEMORY;
                } catch (...) {
                    error = ZIP_ER_INTERNAL;
                }
            }
            lock.lock();
            block->State = error == ZIP_ER_OK ? TBlock::Done : TBlock::Failed;
            block->Error = error;
            block->ZlibCode = code;
            FDone.notify_all();
        }
        lock.unlock();
        if (init == Z_OK)
            deflateEnd(&stream);
    }

    /// Deflates one block into its Out; Z_OK, or zlib's failure (Z_OK also when stopped: the block is then dropped).
    int Deflate(z_stream& aStream, TBlock& aBlock)
    {
        const auto* data = reinterpret_cast<const Bytef*>(aBlock.In.data());
        const Bytef* input = data + aBlock.DictLength;
        aBlock.Crc = crc32(crc32(0L, Z_NULL, 0), input, static_cast<uInt>(aBlock.Length));
        int rc = deflateReset(&aStream);
        if (rc == Z_OK && aBlock.DictLength > 0)
            rc = deflateSetDictionary(&aStream, data, static_cast<uInt>(aBlock.DictLength));
        if (rc != Z_OK)
            return rc;
        const size_t bound = deflateBound(&aStream, static_cast<uLong>(aBlock.Length)) + 64;
        if (aBlock.Out.size() < bound)
            aBlock.Out.resize(bound);
        aStream.next_out = aBlock.Out.data();
        aStream.avail_out = static_cast<uInt>(aBlock.Out.size());
        qint64 offset = 0;
        do {
            if (FStop)
                return Z_OK;
            const qint64 step = std::min(cDeflateStep, aBlock.Length - offset);
            aStream.next_in = const_cast<Bytef*>(input + offset);
            aStream.avail_in = static_cast<uInt>(step);
            offset += step;
            const int flush = offset < aBlock.Length ? Z_NO_FLUSH : (aBlock.Last ? Z_FINISH : Z_SYNC_FLUSH);
            for (;;) {
                if (aStream.avail_out == 0) {
                    const size_t used = aBlock.Out.size();
                    aBlock.Out.resize(used + used / 2);
                    aStream.next_out = aBlock.Out.data() + used;
                    aStream.avail_out = static_cast<uInt>(aBlock.Out.size() - used);
                }
                rc = deflate(&aStream, flush);
                if (rc == Z_STREAM_ERROR)
                    return rc;
                if (flush == Z_FINISH ? rc == Z_STREAM_END : aStream.avail_in == 0 && aStream.avail_out != 0)
                    break;
            }
        } while (offset < aBlock.Length);
        aBlock.OutLength = aBlock.Out.size() - aStream.avail_out;
        return Z_OK;
    }

    const int FFd;
    const qint64 FSize;
    size_t FMaxInFlight = 2;
    // Read by the calling thread only.
    qint64 FReadOffset = 0;
    std::vector<char> FTail;
    uLong FCrc = crc32(0L, Z_NULL, 0);
    qint64 FInputDone = 0;
    qint64 FProgress = 0;
    bool FFinished = false;
    // Shared with the threads, under FMutex.
    std::mutex FMutex;
    std::condition_variable FWork;
    std::condition_variable FDone;
    std::deque<std::unique_ptr<TBlock>> FInFlight; ///< in the file's order
    std::vector<std::unique_ptr<TBlock>> FSpare;   ///< blocks handed out, kept for their buffers
    bool FReadAll = false;
    std::atomic<bool> FStop{false};
    std::vector<std::thread> FThreads;
};

/// WinZip AES-256 encryption of an entry's data on its way into the archive: the salt and the password check come
/// first, then the data encrypted in counter mode (a little-endian counter from 1), then the first 10 bytes of an
/// HMAC-SHA1 over the encrypted data. libzip's own encoder gives the same bytes but goes a block of 16 bytes at a
/// time without the processor's AES instructions, which on two cores cost a third of the deflate time; this one
/// encrypts a whole read at once. Throws std::runtime_error when the crypto library fails.
class TAesEncoder
{
public:
    explicit TAesEncoder(const QByteArray& aPassword)
    {
        std::array<unsigned char, 2 * cKeyLength + 2> keys{};
        TFinally wipe([&keys]() noexcept { OPENSSL_cleanse(keys.data(), keys.size()); });
        if (RAND_bytes(FHeader.data(), static_cast<int>(cSaltLength)) != 1 ||
            PKCS5_PBKDF2_HMAC(aPassword.constData(),
                              static_cast<int>(aPassword.size()),
                              FHeader.data(),
                              static_cast<int>(cSaltLength),
                              cIterations,
                              EVP_sha1(),
                              static_cast<int>(keys.size()),
                              keys.data()) != 1)
            throw std::runtime_error("key derivation failed");
        std::memcpy(FHeader.data() + cSaltLength, keys.data() + 2 * cKeyLength, 2);
        FCipher.reset(EVP_CIPHER_CTX_new());
        if (!FCipher || EVP_EncryptInit_ex(FCipher.get(), EVP_aes_256_ecb(), nullptr, keys.data(), nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(FCipher.get(), 0) != 1)
            throw std::runtime_error("AES set-up failed");
        const THandle<EVP_MAC, &EVP_MAC_free> algorithm(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
        FMac.reset(algorithm ? EVP_MAC_CTX_new(algorithm.get()) : nullptr); // the context holds on to the algorithm
        char digest[] = "SHA1";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
        if (!FMac || EVP_MAC_init(FMac.get(), keys.data() + cKeyLength, cKeyLength, params) != 1)
            throw std::runtime_error("HMAC set-up failed");
    }
    TAesEncoder(const TAesEncoder&) = delete;
    TAesEncoder& operator=(const TAesEncoder&) = delete;
    ~TAesEncoder() { OPENSSL_cleanse(FPad.data(), FPad.size()); }

    /// The salt and the password check: the first bytes of the entry's data.
    QByteArray Header() const { return QByteArray(reinterpret_cast<const char*>(FHeader.data()), cHeaderLength); }

    /// Encrypts aLength bytes in place.
    void Encrypt(unsigned char* aData, size_t aLength)
    {
        while (aLength > 0) {
            if (FPadUsed == FPad.size()) {
                // The key stream of the next blocks: their counters encrypted in one call.
                std::array<unsigned char, sizeof(FPad)> counters;
                for (size_t block = 0; block < FPad.size() / cBlock; ++block) {
                    ++FCounter;
                    for (size_t i = 0; i < 8; ++i)
                        counters[block * cBlock + i] = static_cast<unsigned char>(FCounter >> (8 * i));
                    std::memset(counters.data() + block * cBlock + 8, 0, cBlock - 8);
                }
                int out = 0;
                if (EVP_EncryptUpdate(
                        FCipher.get(), FPad.data(), &out, counters.data(), static_cast<int>(FPad.size())) != 1 ||
                    out != static_cast<int>(FPad.size()))
                    throw std::runtime_error("AES failed");
                FPadUsed = 0;
            }
            const size_t n = std::min(aLength, FPad.size() - FPadUsed);
            for (size_t i = 0; i < n; ++i)
                aData[i] ^= FPad[FPadUsed + i];
            if (EVP_MAC_update(FMac.get(), aData, n) != 1)
                throw std::runtime_error("HMAC failed");
            FPadUsed += n;
            aData += n;
            aLength -= n;
        }
    }

    /// The authentication code that ends the entry's data.
    QByteArray Finish()
    {
        std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
        size_t length = 0;
        if (EVP_MAC_final(FMac.get(), mac.data(), &length, mac.size()) != 1 || length < cMacLength)
            throw std::runtime_error("HMAC failed");
        return QByteArray(reinterpret_cast<const char*>(mac.data()), cMacLength);
    }

private:
    static constexpr size_t cSaltLength = 16;
    static constexpr size_t cHeaderLength = cSaltLength + 2; ///< the salt and the password check
    static constexpr size_t cMacLength = 10;
    static constexpr size_t cKeyLength = 32;
    static constexpr size_t cBlock = 16;
    static constexpr int cIterations = 1000;
    using TCipher = THandle<EVP_CIPHER_CTX, &EVP_CIPHER_CTX_free>;
    using TMac = THandle<EVP_MAC_CTX, &EVP_MAC_CTX_free>;

    std::array<unsigned char, cHeaderLength> FHeader{};
    TCipher FCipher;
    TMac FMac;
    quint64 FCounter = 0;
    std::array<unsigned char, 64 * 1024> FPad{};
    size_t FPadUsed = sizeof(FPad);
};

/// State of the source through which libzip reads the file being added.
struct TFileSource
{
    QString FileName;
    qint64 Size = 0;
    time_t ModTime = 0;
    qint64 Done = 0;
    int LastPercent = -1;
    const std::atomic<bool>* Running = nullptr;
    const TProgress* Progress = nullptr;
    TFd Fd;
    zip_error_t Error;
    /// True: the source hands libzip the file already deflated (by Deflater, on every core), with its CRC-32.
    bool Compressed = false;
    std::unique_ptr<TParallelDeflate> Deflater;
    bool DeflateFinished = false;
    quint32 Crc = 0;
    /// Not empty: the deflated data are encrypted here (see TAesEncoder), with this password (UTF-8).
    QByteArray Password;
    std::unique_ptr<TAesEncoder> Aes; ///< until the end of the deflated data
    QByteArray AesPending;            ///< to hand out before anything else: the header first, the code at the end

    /// Hands out the next of AesPending.
    zip_int64_t TakeAesPending(void* aData, zip_uint64_t aLength)
    {
        const auto n =
            static_cast<qsizetype>(std::min<zip_uint64_t>(aLength, static_cast<zip_uint64_t>(AesPending.size())));
        std::memcpy(aData, AesPending.constData(), static_cast<size_t>(n));
        AesPending.remove(0, n);
        return n;
    }

    void Report()
    {
        const int percent = Size > 0 ? static_cast<int>(Done * 100 / Size) : 100;
        if (percent != LastPercent && Progress && *Progress) {
            LastPercent = percent;
            (*Progress)(percent);
        }
    }
};

zip_int64_t FileSourceCallback(void* aState, void* aData, zip_uint64_t aLength, zip_source_cmd_t aCommand)
{
    auto* s = static_cast<TFileSource*>(aState);
    switch (aCommand) {
    case ZIP_SOURCE_OPEN:
        if (!OpenForReading(s->Fd, s->FileName)) {
            zip_error_set(&s->Error, ZIP_ER_OPEN, errno);
            return -1;
        }
        ::posix_fadvise(s->Fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        s->Done = 0;
        s->DeflateFinished = false;
        if (s->Compressed) {
            try {
                s->Deflater = std::make_unique<TParallelDeflate>(s->Fd.Get(), s->Size);
                s->Aes.reset();
                s->AesPending.clear();
                if (!s->Password.isEmpty()) {
                    s->Aes = std::make_unique<TAesEncoder>(s->Password);
                    s->AesPending = s->Aes->Header();
                }
            } catch (const std::bad_alloc&) {
                zip_error_set(&s->Error, ZIP_ER_MEMORY, 0);
                return -1;
            } catch (const std::system_error& e) {
                zip_error_set(&s->Error, ZIP_ER_INTERNAL, e.code().value());
                return -1;
            } catch (const std::runtime_error&) {
                zip_error_set(&s->Error, ZIP_ER_INTERNAL, 0);
                return -1;
            }
        }
        return 0;
    case ZIP_SOURCE_READ: {
        if (!s->Running->load()) {
            zip_error_set(&s->Error, ZIP_ER_CANCELLED, 0);
            return -1;
        }
        if (!s->AesPending.isEmpty())
            return s->TakeAesPending(aData, aLength);
        if (s->Deflater) {
            zip_int64_t n = -1;
            try {
                n = s->Deflater->Read(aData, aLength, *s->Running, &s->Error);
                if (s->Aes && n > 0)
                    s->Aes->Encrypt(static_cast<unsigned char*>(aData), static_cast<size_t>(n));
                if (s->Aes && n == 0) {
                    // The end of the deflated data: the authentication code follows.
                    s->AesPending = s->Aes->Finish();
                    s->Aes.reset();
                    n = s->TakeAesPending(aData, aLength);
                }
            } catch (const std::bad_alloc&) {
                zip_error_set(&s->Error, ZIP_ER_MEMORY, 0);
                return -1;
            } catch (...) {
                zip_error_set(&s->Error, ZIP_ER_INTERNAL, 0); // nothing is thrown through libzip
                return -1;
            }
            s->Done = s->Deflater->InputDone();
            if (s->Deflater->Finished()) {
                s->DeflateFinished = true;
                s->Crc = s->Deflater->Crc();
            }
            s->Report();
            return n;
        }
        ssize_t n;
        do
            n = ::read(s->Fd.Get(), aData, aLength);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            zip_error_set(&s->Error, ZIP_ER_READ, errno);
            return -1;
        }
        s->Done += n;
        s->Report();
        return n;
    }
    case ZIP_SOURCE_CLOSE:
        s->Aes.reset();
        s->Deflater.reset(); // stops its threads first: they read the file
        s->Fd.Close();
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, aData, aLength, &s->Error);
        if (!st)
            return -1;
        zip_stat_init(st);
        st->size = static_cast<zip_uint64_t>(s->Size);
        st->mtime = s->ModTime;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        if (s->Compressed) {
            // Deflated data: libzip neither compresses nor checksums it again, so the CRC-32 is ours to give once
            // the whole stream was read (libzip asks again then). An encryption libzip adds goes over this data.
            st->comp_method = ZIP_CM_DEFLATE;
            st->valid |= ZIP_STAT_COMP_METHOD;
            // Encrypted here: libzip marks the entry and copies the data as they are.
            st->encryption_method = s->Password.isEmpty() ? ZIP_EM_NONE : ZIP_EM_AES_256;
            st->valid |= ZIP_STAT_ENCRYPTION_METHOD;
            if (s->DeflateFinished) {
                st->crc = s->Crc;
                st->valid |= ZIP_STAT_CRC;
            }
        }
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&s->Error, aData, aLength);
    case ZIP_SOURCE_FREE:
        return 0; // the state belongs to AddFile
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_READABLE;
    default:
        zip_error_set(&s->Error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

int CancelCallback(zip_t*, void* aRunning)
{
    return static_cast<const std::atomic<bool>*>(aRunning)->load() ? 0 : 1;
}

TZip OpenArchive(const QString& aArchiveName, int aFlags)
{
    int code = 0;
    TZip archive(zip_open(QFile::encodeName(aArchiveName).constData(), aFlags, &code));
    if (!archive)
        Fail(ZipErrorText(code), QStringLiteral("Unable to open archive %1.").arg(aArchiveName));
    return archive;
}

/// aText with its control characters shown as "?", for a message.
QString Printable(QString aText)
{
    for (QChar& c : aText) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return aText;
}

[[noreturn]] void Refuse(const QString& aMessage, const QString& aArchiveName)
{
    Fail(aMessage, QStringLiteral("Unable to extract archive %1.").arg(aArchiveName));
}

// The entry's path relative to the target directory, with "/" separators; throws when it is absolute, climbs out
// ("..") of the directory, holds a control character or a component too long for a file name. "\" counts as a
// separator too: archives made on Windows may use it.
QString SafeRelativePath(const QString& aEntryName, const QString& aArchiveName)
{
    if (std::any_of(
            aEntryName.cbegin(), aEntryName.cend(), [](QChar c) { return c.category() == QChar::Other_Control; }))
        Refuse(QStringLiteral("Unsafe entry name '%1': it holds a control character.").arg(Printable(aEntryName)),
               aArchiveName);
    QString name = aEntryName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const bool absolute = name.startsWith(QLatin1Char('/')) ||
                          (name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter());
    QStringList parts;
    bool climbs = false;
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".."))
            climbs = true;
        else if (part != QLatin1String("."))
            parts << part;
    }
    if (absolute || climbs || parts.isEmpty())
        Refuse(QStringLiteral("Unsafe entry path '%1': an absolute path or one leaving the target directory.")
                   .arg(aEntryName),
               aArchiveName);
    for (const QString& part : parts) {
        if (QFile::encodeName(part).size() > NAME_MAX)
            Refuse(QStringLiteral("Entry path '%1': the name '%2' is longer than a file name may be (%3 bytes).")
                       .arg(aEntryName, part)
                       .arg(NAME_MAX),
                   aArchiveName);
    }
    // Our own temporary files beside the extracted ones carry this ending: an entry must not be taken for one.
    if (parts.last().endsWith(QLatin1String(".part.vandrel")))
        Refuse(QStringLiteral("Entry path '%1': names ending in \".part.vandrel\" are reserved for the files on their "
                              "way out of an archive.")
                   .arg(aEntryName),
               aArchiveName);
    return parts.join(QLatin1Char('/'));
}

struct TEntry
{
    zip_uint64_t Index;
    QString Path;
    bool Directory;
    qint64 Size;
};

/// True when entry aIndex was stored from a symbolic link (Unix attributes with the link type).
bool IsSymbolicLink(zip_t* aArchive, zip_uint64_t aIndex)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(aArchive, aIndex, 0, &system, &attributes) != 0)
        return false;
    return system == ZIP_OPSYS_UNIX && S_ISLNK(static_cast<mode_t>(attributes >> 16));
}

/// The entries of the archive, every one checked before anything is written: safe names, no symbolic link, no
/// path given twice or both as a file and as a folder.
std::vector<TEntry> ReadEntries(zip_t* aArchive, const QString& aArchiveName)
{
    const zip_int64_t count = zip_get_num_entries(aArchive, 0);
    std::vector<TEntry> entries;
    QHash<QString, bool> kinds; // each path extracted, and whether it is a folder
    const auto claim = [&](const QString& aPath, bool aDirectory, const QString& aEntryName) {
        const auto known = kinds.constFind(aPath);
        if (known == kinds.cend())
            kinds.insert(aPath, aDirectory);
        else if (!aDirectory || !*known)
            Refuse(QStringLiteral("Entry path '%1': the archive holds '%2' twice, or both as a file and as a folder.")
                       .arg(aEntryName, aPath),
                   aArchiveName);
    };
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        if (zip_stat_index(aArchive, index, 0, &st) != 0)
            Fail(Local(zip_strerror(aArchive)), QStringLiteral("Unable to read archive %1.").arg(aArchiveName));
        const QString name = QString::fromUtf8(st.name);
        TEntry entry{index,
                     SafeRelativePath(name, aArchiveName),
                     name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\')),
                     static_cast<qint64>(std::min<zip_uint64_t>(st.size, std::numeric_limits<qint64>::max()))};
        if (IsSymbolicLink(aArchive, index))
            Refuse(QStringLiteral("Entry '%1' is a symbolic link; an archive holding one is not extracted.").arg(name),
                   aArchiveName);
        const QStringList parts = entry.Path.split(QLatin1Char('/'));
        for (qsizetype k = 1; k < parts.size(); ++k)
            claim(parts.mid(0, k).join(QLatin1Char('/')), true, name);
        claim(entry.Path, entry.Directory, name);
        entries.push_back(entry);
    }
    return entries;
}

/// Throws when the volume of aTargetDir has less room than aNeeded bytes, giving both figures.
void CheckFreeSpace(const QString& aTargetDir, qint64 aNeeded, const QString& aArchiveName)
{
    struct statvfs volume = {};
    if (::statvfs(QFile::encodeName(aTargetDir).constData(), &volume) != 0)
        return; // nothing known about the room: the writes themselves will tell
    constexpr quint64 cMost = std::numeric_limits<qint64>::max();
    const quint64 unit = std::max<quint64>(volume.f_frsize, 1);
    const quint64 free = volume.f_bavail > cMost / unit ? cMost : volume.f_bavail * unit;
    if (static_cast<quint64>(aNeeded) <= free)
        return;
    Refuse(QStringLiteral("The archive's files take %1 bytes, but only %2 bytes are free in %3.")
               .arg(aNeeded)
               .arg(free)
               .arg(aTargetDir),
           aArchiveName);
}

/// The system's reason for the last failed call, e.g. "No space left on device".
QString SystemError(int aError)
{
    return Local(std::strerror(aError));
}

/// Writes an extracted file on a thread of its own while the next piece is inflated: the copy into the page cache
/// and the disk writes started behind it (TWriteBehind) no longer wait for inflate, nor inflate for them. One piece
/// is written while the caller fills the other, so memory stays at two buffers.
class TBackgroundWriter
{
public:
    TBackgroundWriter(int aFile, size_t aBufferSize)
        : FFile(aFile)
        , FSpare(aBufferSize)
        , FThread([this] { Work(); })
    {
    }
    TBackgroundWriter(const TBackgroundWriter&) = delete;
    TBackgroundWriter& operator=(const TBackgroundWriter&) = delete;
    /// Waits for the piece being written, then stops the thread.
    ~TBackgroundWriter()
    {
        {
            std::unique_lock lock(FMutex);
            FIdle.wait(lock, [this] { return !FPending; });
            FStop = true;
        }
        FWork.notify_one();
        FThread.join();
    }

    /// Hands over the first aLength bytes of aBuffer, which gets an empty buffer of the same size back; the errno of
    /// an earlier failed write, 0 when none failed (the piece is then not written).
    int Write(std::vector<char>& aBuffer, size_t aLength)
    {
        {
            std::unique_lock lock(FMutex);
            FIdle.wait(lock, [this] { return !FPending; });
            if (FError != 0)
                return FError;
            std::swap(aBuffer, FSpare);
            FLength = aLength;
            FPending = true;
        }
        FWork.notify_one();
        return 0;
    }

    /// Waits until every piece handed over is written; the errno of a failed write, 0 when none failed.
    int Finish()
    {
        std::unique_lock lock(FMutex);
        FIdle.wait(lock, [this] { return !FPending; });
        return FError;
    }

private:
    void Work() noexcept
    {
        TWriteBehind writeBehind; // the closing fsync then waits for the last few MiB only
        std::unique_lock lock(FMutex);
        for (;;) {
            FWork.wait(lock, [this] { return FPending || FStop; });
            if (!FPending)
                return;
            lock.unlock();
            const int error = WriteAll(FFile, FSpare.data(), FLength, &writeBehind);
            lock.lock();
            if (error != 0 && FError == 0)
                FError = error;
            FPending = false;
            FIdle.notify_all();
        }
    }

    int FFile;
    std::vector<char> FSpare; ///< the piece being written, or the empty buffer handed back next
    size_t FLength = 0;
    bool FPending = false;
    bool FStop = false;
    int FError = 0;
    std::mutex FMutex;
    std::condition_variable FWork;
    std::condition_variable FIdle;
    std::thread FThread; ///< last: it starts once the rest is ready
};

/// The temporary file beside aFinalPath that an extracted file is written to: "<name>.part.vandrel", or a name made
/// from a hash of the name when that would be too long a file name.
QByteArray TemporaryPath(const QByteArray& aFinalPath)
{
    const qsizetype slash = aFinalPath.lastIndexOf('/');
    const QByteArray leaf = aFinalPath.mid(slash + 1);
    if (leaf.size() + 13 <= NAME_MAX)
        return aFinalPath + ".part.vandrel";
    return aFinalPath.left(slash + 1) + '.' +
           QCryptographicHash::hash(leaf, QCryptographicHash::Sha256).toHex().left(32) + ".part.vandrel";
}

/// The extracted files on their way: each written completely to its temporary file beside its final name, and
/// all renamed into place only once every one is complete. Until then, or when the object goes without Commit, no
/// file of the target changes and every temporary file is removed.
class TStagedFiles
{
public:
    TStagedFiles() = default;
    TStagedFiles(const TStagedFiles&) = delete;
    TStagedFiles& operator=(const TStagedFiles&) = delete;
    ~TStagedFiles()
    {
        for (const TStaged& file : FFiles)
            ::unlink(file.Temporary.constData());
    }

    /// Writes the file that will become aFinalName through aFill, and flushes it to disk. The file is readable by
    /// its owner and by the group of its folder only: the database server's account reads it through that group.
    void Stage(const QString& aFinalName, const QString& aContext, const std::function<void(int)>& aFill)
    {
        if (QFileInfo(aFinalName).isDir())
            Fail(QStringLiteral("Cannot replace %1: it is a folder.").arg(aFinalName), aContext);
        const QByteArray finalPath = QFile::encodeName(aFinalName);
        const QByteArray tempPath = TemporaryPath(finalPath);
        // A leftover of a killed run under our temporary name is simply replaced.
        ::unlink(tempPath.constData());
        const int file = ::open(tempPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (file < 0)
            Fail(QStringLiteral("Cannot create %1: %2").arg(aFinalName, SystemError(errno)), aContext);
        FFiles.push_back({tempPath, finalPath, aFinalName});
        TFinally close([file]() noexcept { ::close(file); });
        aFill(file);
        struct stat folder = {};
        if (::stat(QFile::encodeName(QFileInfo(aFinalName).absolutePath()).constData(), &folder) == 0) [[maybe_unused]]
            const int owned = ::fchown(file, static_cast<uid_t>(-1), folder.st_gid);
        if (::fchmod(file, S_IRUSR | S_IWUSR | S_IRGRP) != 0 || ::fsync(file) != 0)
            Fail(QStringLiteral("Cannot write %1: %2").arg(aFinalName, SystemError(errno)), aContext);
    }

    /// Renames every staged file over its final name. Only a failing rename (which the checks before make rare)
    /// can leave the target half replaced; the error then names the files replaced and those left as they were.
    void Commit(const QString& aContext)
    {
        for (size_t i = 0; i < FFiles.size(); ++i) {
            if (::rename(FFiles[i].Temporary.constData(), FFiles[i].Final.constData()) == 0)
                continue;
            const int error = errno;
            QStringList replaced;
            QStringList kept;
            for (size_t k = 0; k < FFiles.size(); ++k)
                (k < i ? replaced : kept).append(FFiles[k].Name);
            FFiles.erase(FFiles.begin(), FFiles.begin() + static_cast<std::ptrdiff_t>(i));
            EVandrel failure(QStringLiteral("Cannot replace %1: %2").arg(FFiles.front().Name, SystemError(error)));
            failure.AddContext(
                QStringLiteral("Replaced: %1. Left as they were: %2.")
                    .arg(replaced.isEmpty() ? QStringLiteral("none") : replaced.join(QStringLiteral(", ")),
                         kept.join(QStringLiteral(", "))));
            failure.AddContext(aContext);
            throw failure;
        }
        FFiles.clear();
    }

private:
    struct TStaged
    {
        QByteArray Temporary;
        QByteArray Final;
        QString Name;
    };
    std::vector<TStaged> FFiles;
};

void ExtractEntry(zip_t* aArchive,
                  const TEntry& aEntry,
                  const QString& aFinalName,
                  const QString& aArchiveName,
                  std::vector<char>& aBuffer,
                  TStagedFiles& aStaged,
                  const std::function<bool(qint64)>& aAdvance)
{
    const QString context = QStringLiteral("Unable to extract %1 from archive %2.").arg(aEntry.Path, aArchiveName);
    TZipFile entry(zip_fopen_index(aArchive, aEntry.Index, 0));
    if (!entry)
        Fail(Local(zip_strerror(aArchive)), context);
    aStaged.Stage(aFinalName, context, [&](int aFile) {
        const auto failedWrite = [&](int aError) {
            Fail(QStringLiteral("Cannot write %1: %2").arg(aFinalName, SystemError(aError)), context);
        };
        TBackgroundWriter writer(aFile, aBuffer.size());
        qint64 written = 0;
        for (;;) {
            const zip_int64_t n = zip_fread(entry.get(), aBuffer.data(), aBuffer.size());
            if (n < 0)
                Fail(Local(zip_file_strerror(entry.get())), context);
            if (n == 0)
                break;
            // The room was checked against the declared sizes: an entry must not write more.
            if (n > aEntry.Size - written)
                Fail(QStringLiteral("The entry holds more than the %1 bytes the archive declares for it.")
                         .arg(aEntry.Size),
                     context);
            if (const int error = writer.Write(aBuffer, static_cast<size_t>(n)))
                failedWrite(error);
            written += n;
            if (!aAdvance(n))
                Fail(ZipErrorText(ZIP_ER_CANCELLED), context);
        }
        if (const int error = writer.Finish())
            failedWrite(error);
    });
}

/// Makes aPassword the one libzip reads encrypted entries with, and opens each of them once: a password that is
/// wrong or missing fails here, before anything is written.
void OpenWithPassword(zip_t* aArchive, const QString& aPassword, const QString& aArchiveName)
{
    QByteArray password = aPassword.toUtf8();
    const int set = zip_set_default_password(aArchive, password.isEmpty() ? nullptr : password.constData());
    password.fill('\0');
    const QString context = QStringLiteral("Unable to extract archive %1.").arg(aArchiveName);
    if (set != 0)
        Fail(Local(zip_strerror(aArchive)), context);
    const zip_int64_t count = zip_get_num_entries(aArchive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        const auto index = static_cast<zip_uint64_t>(i);
        if (zip_stat_index(aArchive, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_ENCRYPTION_METHOD) ||
            st.encryption_method == ZIP_EM_NONE)
            continue;
        TZipFile entry(zip_fopen_index(aArchive, index, 0));
        if (entry)
            continue;
        const int code = zip_error_code_zip(zip_get_error(aArchive));
        if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD)
            throw EVandrel(cWrongPassword);
        Fail(Local(zip_strerror(aArchive)), context);
    }
}

} // namespace

TPackEstimate EstimatePacking(const QString& aFileName)
{
    TPackEstimate estimate;
    const qint64 size = FileSize(aFileName);
    TFd fd;
    if (size < 0 || !OpenForReading(fd, aFileName))
        return estimate;
    const qint64 nameBytes = 2 * QFileInfo(aFileName).fileName().toUtf8().size();
    TDeflateSampler sampler;
    std::vector<char> buffer(cSampleSize);
    if (size <= cSampleSize * cSampleCount) {
        for (qint64 offset = 0; offset < size; offset += cSampleSize) {
            const qint64 n = ReadAt(fd.Get(), buffer.data(), cSampleSize, offset);
            if (n <= 0)
                break;
            sampler.Add(buffer.data(), n, offset + n >= size);
        }
    } else {
        for (int i = 0; i < cSampleCount; ++i) {
            const qint64 offset = (size - cSampleSize) * i / (cSampleCount - 1);
            const qint64 n = ReadAt(fd.Get(), buffer.data(), cSampleSize, offset);
            if (n <= 0)
                break;
            sampler.Add(buffer.data(), n, true);
        }
    }
    if (sampler.In > 0)
        estimate.Ratio = static_cast<double>(sampler.Out) / static_cast<double>(sampler.In);
    estimate.Deflate = estimate.Ratio < cDeflateWorthRatio;
    const double body = estimate.Deflate ? static_cast<double>(size) * estimate.Ratio : static_cast<double>(size);
    estimate.ArchiveBytes = static_cast<qint64>(body) + cArchiveOverhead + nameBytes;
    return estimate;
}

qint32 EstimateArchiveKiB(const QString& aFileName)
{
    if (FileSize(aFileName) < 0)
        return 0;
    const qint64 kib = EstimatePacking(aFileName).ArchiveBytes / 1024;
    return static_cast<qint32>(std::clamp<qint64>(kib, 1, std::numeric_limits<qint32>::max()));
}

void AddFile(const QString& aArchiveName,
             const QString& aFileName,
             const std::atomic<bool>& aRunning,
             const TProgress& aProgress,
             const QString& aPassword)
{
    const QString context = QStringLiteral("Unable to add %1 to archive %2.").arg(aFileName, aArchiveName);
    struct stat info;
    if (::stat(QFile::encodeName(aFileName).constData(), &info) != 0)
        Fail(ZipErrorText(ZIP_ER_OPEN, errno), context);
    if (!S_ISREG(info.st_mode))
        Fail(ZipErrorText(ZIP_ER_OPEN, EISDIR), context);
    const TPackEstimate packing = EstimatePacking(aFileName);

    // The source libzip keeps points at this state until the archive frees it (zip_close, or zip_discard when we
    // leave by an exception), so the state is declared first: it is destroyed after the archive.
    TFileSource state;
    zip_error_init(&state.Error);
    TFinally freeError([&state]() noexcept {
        zip_error_fini(&state.Error);
        state.Password.fill('\0');
    });
    state.FileName = aFileName;
    state.Size = info.st_size;
    state.ModTime = info.st_mtime;
    state.Running = &aRunning;
    state.Progress = &aProgress;
    // Deflated on every core by our source; libzip deflates by itself only the rare file whose joined stream could
    // cross 4 GiB without libzip having chosen ZIP64 headers for it.
    state.Compressed = packing.Deflate && (state.Size <= cLibzipDeflateZip64From - cJoinedStreamMargin ||
                                           state.Size > cLibzipDeflateZip64From);

    // The archive is rebuilt in a folder of our own beside it and renamed over it when complete: the archive under
    // its name is never half written, and a run killed meanwhile leaves only that folder, which the next zip of this
    // archive removes. The folder is private, so nobody reads the database on its way into the archive.
    RemoveLeftovers(aArchiveName);
    const QString work = WorkFolder(aArchiveName);
    const QByteArray workPath = QFile::encodeName(work);
    if (::mkdir(workPath.constData(), S_IRWXU) != 0)
        Fail(QStringLiteral("Cannot create %1: %2").arg(work, SystemError(errno)), context);
    TFinally removeWork([&work]() noexcept { QDir(work).removeRecursively(); });
    const QString inWork = work + QLatin1Char('/') + QFileInfo(aArchiveName).fileName();
    const QByteArray archivePath = QFile::encodeName(aArchiveName);
    const QByteArray inWorkPath = QFile::encodeName(inWork);
    // The earlier archive's entries are kept: libzip reads them through a second name of the same file.
    if (QFileInfo::exists(aArchiveName) && ::link(archivePath.constData(), inWorkPath.constData()) != 0 &&
        !QFile::copy(aArchiveName, inWork))
        Fail(QStringLiteral("Cannot prepare %1 in %2.").arg(aArchiveName, work), context);

    TZip archive = OpenArchive(inWork, ZIP_CREATE);
    zip_register_cancel_callback_with_state(
        archive.get(), &CancelCallback, nullptr, const_cast<std::atomic<bool>*>(&aRunning));

    zip_source_t* source = zip_source_function(archive.get(), &FileSourceCallback, &state);
    if (!source)
        Fail(Local(zip_strerror(archive.get())), context);
    const QByteArray entryName = QFileInfo(aFileName).fileName().toUtf8();
    const zip_int64_t index =
        zip_file_add(archive.get(), entryName.constData(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        Fail(Local(zip_strerror(archive.get())), context);
    }
    const auto index64 = static_cast<zip_uint64_t>(index);
    const int rc = packing.Deflate ? zip_set_file_compression(archive.get(), index64, ZIP_CM_DEFLATE, cDeflateLevel)
                                   : zip_set_file_compression(archive.get(), index64, ZIP_CM_STORE, 0);
    if (rc != 0)
        Fail(Local(zip_strerror(archive.get())), context);
    if (!aPassword.isEmpty()) {
        // Data deflated by our source are encrypted there too (libzip is only told the method); otherwise libzip
        // encrypts, and keeps a copy of the password until the archive is written.
        QByteArray password = aPassword.toUtf8();
        if (state.Compressed)
            state.Password = password;
        const int encrypted = zip_file_set_encryption(
            archive.get(), index64, ZIP_EM_AES_256, state.Compressed ? nullptr : password.constData());
        password.fill('\0');
        if (encrypted != 0)
            Fail(Local(zip_strerror(archive.get())), context);
    }

    // On failure libzip removes its temporary file and leaves the archive as it was.
    if (zip_close(archive.get()) != 0) {
        if (!aRunning.load())
            Fail(ZipErrorText(ZIP_ER_CANCELLED), context);
        Fail(Local(zip_strerror(archive.get())), context);
    }
    (void)archive.release(); // zip_close freed it
    if (::chmod(inWorkPath.constData(), S_IRUSR | S_IWUSR) != 0 ||
        ::rename(inWorkPath.constData(), archivePath.constData()) != 0)
        Fail(QStringLiteral("Cannot replace %1: %2").arg(aArchiveName, SystemError(errno)), context);
    if (state.LastPercent != 100 && aProgress)
        aProgress(100);
}

QStringList ExtractAll(const QString& aArchiveName,
                       const QString& aTargetDir,
                       const std::atomic<bool>& aRunning,
                       const TProgress& aProgress,
                       const QString& aPassword)
{
    TZip archive = OpenArchive(aArchiveName, ZIP_RDONLY);
    OpenWithPassword(archive.get(), aPassword, aArchiveName);
    const QString context = QStringLiteral("Unable to extract archive %1.").arg(aArchiveName);
    const std::vector<TEntry> entries = ReadEntries(archive.get(), aArchiveName);
    qint64 total = 0;
    for (const TEntry& entry : entries)
        total += entry.Directory ? 0 : std::min(entry.Size, std::numeric_limits<qint64>::max() - total);

    const QDir target(aTargetDir);
    if (!target.mkpath(QStringLiteral(".")))
        Fail(QStringLiteral("Cannot create directory %1.").arg(aTargetDir), context);
    CheckFreeSpace(aTargetDir, total, aArchiveName);
    std::vector<char> buffer(cExtractBufferSize);
    TStagedFiles staged;
    QStringList written;
    qint64 done = 0;
    int lastPercent = -1;
    const auto advance = [&](qint64 aBytes) {
        done += aBytes;
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (percent != lastPercent && aProgress) {
            lastPercent = percent;
            aProgress(percent);
        }
        return aRunning.load();
    };
    // Every file is complete beside its final name before the first one replaces anything.
    for (const TEntry& entry : entries) {
        if (!aRunning.load())
            Fail(ZipErrorText(ZIP_ER_CANCELLED), context);
        const QString finalName = target.filePath(entry.Path);
        const QString dir = entry.Directory ? finalName : QFileInfo(finalName).path();
        if (!QDir().mkpath(dir))
            Fail(QStringLiteral("Cannot create directory %1.").arg(dir), context);
        if (!entry.Directory) {
            ExtractEntry(archive.get(), entry, finalName, aArchiveName, buffer, staged, advance);
            written.append(entry.Path);
        }
    }
    if (!aRunning.load())
        Fail(ZipErrorText(ZIP_ER_CANCELLED), context);
    staged.Commit(context);
    if (lastPercent != 100 && aProgress)
        aProgress(100);
    return written;
}

qint64 FileSize(const QString& aName)
{
    struct stat info;
    if (aName.isEmpty() || ::stat(QFile::encodeName(aName).constData(), &info) != 0)
        return -1;
    return S_ISDIR(info.st_mode) ? 0 : static_cast<qint64>(info.st_size);
}

QString WorkFolder(const QString& aArchiveName)
{
    return aArchiveName + QStringLiteral(".zipping.vandrel");
}

QString RemoveLeftovers(const QString& aArchiveName)
{
    const QString work = WorkFolder(aArchiveName);
    const QFileInfo info(work);
    if (!info.exists() || !info.isDir() || info.isSymLink())
        return QString();
    QDir(work).removeRecursively();
    return work;
}

} // namespace UZipArchive
