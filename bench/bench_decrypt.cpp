// Encrypted backups: the key derivation at the round counts devices write, and the decryption of
// a large data file (1 GiB; IBR_BENCH_DECRYPT_MB changes it) against reading the same file once.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "BackupCrypto.h"
#include "utility/SafeIo.h"

namespace {

const QByteArray kKey(32, 'k');

struct Fixture {
    QTemporaryDir tmp;
    QString cipher;
    qint64 plainSize = 0;

    Fixture()
    {
        const qint64 mb = qEnvironmentVariableIsSet("IBR_BENCH_DECRYPT_MB") ? qEnvironmentVariableIntValue("IBR_BENCH_DECRYPT_MB") : 1024;
        plainSize = mb * 1024 * 1024 - 5; // not whole blocks: the padding is judged too
        cipher = tmp.filePath(QStringLiteral("data"));
        QFile out(cipher);
        out.open(QIODevice::WriteOnly);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        const unsigned char iv[16] = {};
        EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(kKey.constData()), iv);
        std::vector<unsigned char> in(1 << 20), sealed((1 << 20) + 16);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = static_cast<unsigned char>(i * 131);
        int n = 0;
        for (qint64 left = plainSize; left > 0; left -= qint64(in.size())) {
            EVP_EncryptUpdate(ctx, sealed.data(), &n, in.data(), int(std::min<qint64>(left, qint64(in.size()))));
            out.write(reinterpret_cast<const char*>(sealed.data()), n);
        }
        EVP_EncryptFinal_ex(ctx, sealed.data(), &n);
        out.write(reinterpret_cast<const char*>(sealed.data()), n);
        EVP_CIPHER_CTX_free(ctx);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void peakMemory(benchmark::State& state)
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = double(usage.ru_maxrss) / 1024.0;
}

// The floor: the file read once in the same blocks, nothing done with it.
void BM_ReadOnly(benchmark::State& state)
{
    Fixture& f = fixture();
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        uint64_t size = 0;
        std::string error;
        const int fd = ibrio::openRegularFile(QFile::encodeName(f.cipher).toStdString(), &size, &error);
        for (uint64_t at = 0; at < size;)
            at += uint64_t(ibrio::readAt(fd, buffer.data(), buffer.size(), at));
        ::close(fd);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * f.plainSize);
}
BENCHMARK(BM_ReadOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecryptToNothing(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state) {
        uint64_t size = 0;
        std::string error;
        const int fd = ibrio::openRegularFile(QFile::encodeName(f.cipher).toStdString(), &size, &error);
        qint64 plain = 0;
        QString why;
        const bool ok = backupcrypto::decryptStream(fd, size, kKey, f.plainSize, [&](const char*, size_t n) { plain += qint64(n); return true; },
                                                    nullptr, &why);
        ::close(fd);
        if (!ok || plain != f.plainSize)
            state.SkipWithError("decryption gave the wrong size");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * f.plainSize);
    peakMemory(state);
}
BENCHMARK(BM_DecryptToNothing)->Unit(benchmark::kMillisecond)->UseRealTime();

// As the export does it: into a new file, flushed to disk.
void BM_DecryptToFile(benchmark::State& state)
{
    Fixture& f = fixture();
    const QString target = f.tmp.filePath(QStringLiteral("plain"));
    for (auto _ : state) {
        QFile::remove(target);
        QString why;
        if (!backupcrypto::decryptFile(f.cipher, target, kKey, f.plainSize, nullptr, &why))
            state.SkipWithError(why.toUtf8().constData());
    }
    QFile::remove(target);
    state.SetBytesProcessed(int64_t(state.iterations()) * f.plainSize);
    peakMemory(state);
}
BENCHMARK(BM_DecryptToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The floor of the above: the same file copied as an unencrypted backup's files are exported.
void BM_CopyToFile(benchmark::State& state)
{
    Fixture& f = fixture();
    const QString target = f.tmp.filePath(QStringLiteral("copy"));
    for (auto _ : state) {
        QFile::remove(target);
        std::string why;
        if (!ibrio::copyFile(QFile::encodeName(f.cipher).toStdString(), QFile::encodeName(target).toStdString(), &why))
            state.SkipWithError(why.c_str());
    }
    QFile::remove(target);
    state.SetBytesProcessed(int64_t(state.iterations()) * f.plainSize);
}
BENCHMARK(BM_CopyToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Devices write 10,000 PBKDF2-SHA1 rounds, and from iOS 10.2 on 10,000,000 PBKDF2-SHA256 rounds first.
void BM_KeyDerivation(benchmark::State& state)
{
    backupcrypto::Keybag keybag;
    keybag.salt = QByteArray(20, 's');
    keybag.iterations = 10000;
    if (state.range(0)) {
        keybag.dpSalt = QByteArray(20, 'd');
        keybag.dpIterations = 10000000;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(backupcrypto::passwordKey(keybag, "a password"));
}
BENCHMARK(BM_KeyDerivation)->Arg(0)->Arg(1)->ArgName("ios10_2_on")->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
