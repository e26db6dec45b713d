// Feeds arbitrary bytes to the keybag reader, and what it accepts to the unlock and file-key steps
// (with one derivation round, so that a hostile round count cannot stall the fuzzer).
#include <QByteArray>

#include <cstddef>
#include <cstdint>

#include "BackupCrypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    backupcrypto::Keybag keybag;
    QString why;
    if (!keybag.parse(bytes, &why))
        return 0;
    keybag.iterations = 1;
    keybag.dpIterations = keybag.dpIterations ? 1 : 0;
    backupcrypto::BackupKeys keys;
    if (keys.unlock(keybag, "password", &why) == backupcrypto::BackupKeys::Unlocked)
        keys.fileKey(0, bytes.left(44));
    return 0;
}
