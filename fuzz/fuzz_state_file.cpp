// Any bytes as the simulator's state file. The reader either refuses them
// with a reason that names a line holding something (or a key that is
// missing, or the encoder's own objection), or gives a configuration that is
// saved, read back from disk and saved again to exactly itself.
//
// Input: the whole file.

#include "ConfigRules.h"
#include "FuzzCheck.h"
#include "StateFile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

namespace {

// Saves go through fsync: keep them on a memory file system where there is one.
QTemporaryDir &scratch()
{
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        const QString shm = QStringLiteral("/dev/shm");
        auto made = std::make_unique<QTemporaryDir>(
            (QDir(shm).exists() ? shm : QDir::tempPath()) + QStringLiteral("/pnv-fuzz-state-XXXXXX"));
        FUZZ_CHECK(made->isValid());
        return made;
    }();
    return *dir;
}

void checkRefusal(const QByteArray &text, const QString &error)
{
    FUZZ_CHECK(!error.isEmpty());
    static const QRegularExpression lineError(QStringLiteral("^line (\\d+): "));
    const QRegularExpressionMatch match = lineError.match(error);
    if (match.hasMatch()) {
        // The line named is one that says something: not blank, not a comment.
        const QList<QByteArray> lines = text.split('\n');
        const int number = match.captured(1).toInt();
        FUZZ_CHECK(number >= 1 && number <= lines.size());
        const QString line = QString::fromUtf8(lines[number - 1]).trimmed();
        FUZZ_CHECK(!line.isEmpty() && !line.startsWith(QLatin1Char('#')));
        return;
    }
    FUZZ_CHECK(error.endsWith(QLatin1String("\" missing"))
               || error.startsWith(QLatin1String("configuration the encoder would refuse: ")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QString error;
    const auto config = pnv::sim::parseState(text, error);
    if (!config) {
        checkRefusal(text, error);
        return 0;
    }
    FUZZ_CHECK(error.isEmpty());
    FUZZ_CHECK(pnv::sim::rejectionReason(*config).empty());

    // What is written is what is read back, and writing that again changes nothing.
    const QString path = scratch().filePath(QStringLiteral("encoder.state"));
    FUZZ_CHECK(pnv::sim::saveState(path, *config).isEmpty());
    const pnv::sim::StateLoad loaded = pnv::sim::loadState(path);
    FUZZ_CHECK(loaded.config.has_value());
    FUZZ_CHECK(*loaded.config == *config);
    QFile saved(path);
    FUZZ_CHECK(saved.open(QIODevice::ReadOnly));
    FUZZ_CHECK(saved.readAll() == pnv::sim::formatState(*config).toUtf8());
    FUZZ_CHECK(!QFile::exists(pnv::sim::temporaryPath(path)));
    return 0;
}
