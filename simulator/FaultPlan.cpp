#include "FaultPlan.h"

namespace pnv::sim {
namespace {

std::optional<int> parseNumber(const QString &text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace

QString FaultPlan::add(const QString &faultText)
{
    const qsizetype colon = faultText.indexOf(QLatin1Char(':'));
    const QString kind = colon < 0 ? faultText : faultText.left(colon);
    const bool hasArgument = colon >= 0;
    const QString argument = hasArgument ? faultText.mid(colon + 1) : QString();
    const auto bad = [&faultText](const char *why) {
        return QStringLiteral("--fault %1: %2").arg(faultText, QLatin1String(why));
    };
    const auto number = [&](int low, int high, std::optional<int> fallback) {
        return hasArgument ? parseNumber(argument, low, high) : fallback;
    };

    if (kind == QLatin1String("no-reply") || kind == QLatin1String("bad-checksum")
        || kind == QLatin1String("wrong-sequence") || kind == QLatin1String("verify-fail")
        || kind == QLatin1String("lose-write") || kind == QLatin1String("drop-after-write")
        || kind == QLatin1String("gone-after-write")) {
        if (hasArgument)
            return bad("takes no argument");
        (kind == QLatin1String("no-reply")       ? noReply
         : kind == QLatin1String("bad-checksum") ? badChecksum
         : kind == QLatin1String("verify-fail")  ? verifyFail
         : kind == QLatin1String("lose-write")   ? loseWrite
         : kind == QLatin1String("drop-after-write") ? dropAfterWrite
         : kind == QLatin1String("gone-after-write") ? goneAfterWrite
                                                 : wrongSequence) = true;
        return {};
    }
    if (kind == QLatin1String("delay") || kind == QLatin1String("late-write")) {
        const auto ms = number(0, 600000, std::nullopt);
        if (!ms)
            return bad("needs milliseconds, 0 to 600000");
        if (kind == QLatin1String("delay"))
            delayMs = *ms;
        else
            lateWriteMs = *ms;
        return {};
    }
    if (kind == QLatin1String("cut") || kind == QLatin1String("close")) {
        const auto n = number(0, 1000, 6);
        if (!n)
            return bad("needs a byte count, 0 to 1000");
        (kind == QLatin1String("cut") ? cutAfter : closeAfter) = *n;
        return {};
    }
    if (kind == QLatin1String("read-status") || kind == QLatin1String("write-status")) {
        const auto code = number(0, 255, std::nullopt);
        if (!code)
            return bad("needs a status code, 0 to 255");
        (kind == QLatin1String("read-status") ? nextReadStatus : nextWriteStatus) = *code;
        return {};
    }
    return bad("unknown kind");
}

QString FaultPlan::helpText()
{
    return QStringLiteral(
        "Faults (--fault KIND[:ARG], repeatable; they touch read and write replies only):\n"
        "  no-reply            never answer\n"
        "  delay:MS            answer after MS milliseconds\n"
        "  cut[:N]             send the first N bytes of the answer (default 6), then nothing\n"
        "  close[:N]           send the first N bytes of the answer (default 6), then close\n"
        "  bad-checksum        answer with a wrong checksum\n"
        "  wrong-sequence      answer with a wrong sequence number\n"
        "  read-status:CODE    answer the next read with status CODE (0 to 255)\n"
        "  write-status:CODE   answer the next write with status CODE, store nothing\n"
        "  verify-fail         every write reads back differently from what was sent; nothing stored\n"
        "  lose-write          every write is acknowledged with its echo, but nothing is stored, so the next\n"
        "                      read shows the old configuration\n"
        "  drop-after-write    every write is stored, then the link is dropped before its answer\n"
        "  late-write:MS       every write is stored at once and answered after MS milliseconds\n"
        "  gone-after-write    the first write is stored, then the link is dropped and no new link is\n"
        "                      served, as an encoder switched off\n");
}

} // namespace pnv::sim
