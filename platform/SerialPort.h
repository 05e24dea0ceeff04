#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// The serial port as sessions and the port probe use it. One instance belongs
// to one window and is used from the user-interface thread only. Events are
// raised between other events of the thread, never from inside a call made on
// the port.
class SerialPort {
public:
    enum class CommEvent {
        DataReceived,  // at least the receive threshold of bytes waits unread
        LineError,     // break, framing, overrun and the like
    };

    virtual ~SerialPort() = default;

    // The next Open opens COMn.
    virtual void SetPortNumber(qint16 n) = 0;
    // A line settings text such as "19200,N,8,1"; takes effect at once, also
    // while the port is open. Returns false when the text is not understood.
    virtual bool SetSettings(const QString& settings) = 0;
    // Received bytes are delivered unchanged.
    virtual void SetBinaryInput() = 0;
    // n > 0: raise DataReceived as soon as at least n bytes wait unread;
    // n = 0: raise no data-received events.
    virtual void SetReceiveThreshold(int n) = 0;
    virtual bool IsOpen() const = 0;
    // Opens the selected port with the current line settings. False when the
    // port does not exist or another program holds it.
    virtual bool Open() = 0;
    // Closes the port; waiting input is lost.
    virtual void Close() = 0;
    // Queues all bytes for sending in one write and returns at once.
    virtual bool Write(const QByteArray& bytes) = 0;
    // Every byte waiting in the port's own receive buffer (possibly none),
    // removed from it. Bytes that the system has received but not yet handed
    // to the port are not among them; they come with a later event.
    virtual QByteArray ReadAll() = 0;
    // Throws away every byte received so far: those in the port's buffer and
    // those the system still holds (bytes that came while the thread was
    // blocked and no events were handled). Returns the bytes thrown away as
    // far as the port could see them, for a trace of the line; bytes that the
    // system discards unseen are not among them.
    virtual QByteArray DiscardInput() = 0;
    // Why the last Open (or a later write or read) failed, in the system's
    // words (permission denied, busy, no such device); empty after success.
    virtual QString LastError() const { return {}; }

    void SetCommHandler(std::function<void(CommEvent)> handler) { Handler = std::move(handler); }

protected:
    void RaiseComm(CommEvent event) {
        if (Handler) {
            Handler(event);
        }
    }
    // From the event loop, when the device has gone (an adapter pulled): the
    // port closes itself and raises one line error; later writes fail.
    void CloseForGoneDevice() {
        Close();
        RaiseComm(CommEvent::LineError);
    }

private:
    std::function<void(CommEvent)> Handler;
};

// A parsed line settings text: baud rate, parity letter, data bits, stop bits.
struct LineSettings {
    int BaudRate = 9600;
    char Parity = 'N';
    int DataBits = 8;
    int StopBits = 1;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Reads "19200,N,8,1"; false when a field is missing or out of its range.
bool ParseLineSettings(const QString& text, LineSettings& out);
