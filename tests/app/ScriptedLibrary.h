#pragma once
// A device library scripted by the test: it records every call with its
// arguments and answers with the counts, codes and bytes the test chose.

#include "TessalinBinding.h"

#include <QByteArray>
#include <QCursor>
#include <QGuiApplication>
#include <QStringList>

#include <cstring>
#include <functional>

namespace pnv::test {

struct ScriptedLibrary {
    QStringList calls;
    QStringList callsWithoutWaitCursor;   // calls during which the window showed no wait cursor
    QByteArray connectAddress;   // all 16 bytes S_Connect received
    int connectMode = 0;
    int connectPort = 0;
    QByteArray writtenBuffer;    // the whole buffer ConfigWrite received
    int readCapacity = 0;

    std::int32_t connectResult = 0;
    std::int32_t readCount = 1;
    QByteArray readBytes = QByteArray(1, '\0');   // copied into the buffer
    std::int32_t writeCount = 1;
    std::uint8_t writeStatus = 0;
    // Runs on the library call's own thread before ConfigRead answers: an
    // encoder that is slow to answer.
    std::function<void()> whileReading;
    // Likewise before S_Connect answers: a library slow to get ready.
    std::function<void()> whileConnecting;

    static ScriptedLibrary &instance()
    {
        static ScriptedLibrary library;
        return library;
    }
    static void reset() { instance() = ScriptedLibrary(); }

    void record(const QString &call)
    {
        calls << call;
        const QCursor *shown = QGuiApplication::overrideCursor();
        if (!shown || shown->shape() != Qt::WaitCursor)
            callsWithoutWaitCursor << call;
    }

    static pnv::TessalinApi api()
    {
        pnv::TessalinApi table;
        table.S_Connect = [](const char *address, std::int32_t mode, std::int32_t port) {
            auto &self = instance();
            self.record(QStringLiteral("S_Connect"));
            self.connectAddress = QByteArray(address, 16);
            self.connectMode = mode;
            self.connectPort = port;
            if (self.whileConnecting)
                self.whileConnecting();
            return self.connectResult;
        };
        table.S_Disconnect = [] { instance().record(QStringLiteral("S_Disconnect")); };
        table.ConfigRead = [](std::uint8_t *buffer, std::int32_t capacity) {
            auto &self = instance();
            self.record(QStringLiteral("ConfigRead"));
            self.readCapacity = capacity;
            if (self.whileReading)
                self.whileReading();
            std::memcpy(buffer, self.readBytes.constData(), std::min<std::size_t>(self.readBytes.size(), capacity));
            return self.readCount;
        };
        table.ConfigWrite = [](std::uint8_t *buffer, std::int32_t capacity) {
            auto &self = instance();
            self.record(QStringLiteral("ConfigWrite"));
            self.writtenBuffer = QByteArray(reinterpret_cast<const char *>(buffer), capacity);
            buffer[0] = self.writeStatus;
            return self.writeCount;
        };
        table.DLLClose = [] { instance().record(QStringLiteral("DLLClose")); };
        return table;
    }
};

} // namespace pnv::test
