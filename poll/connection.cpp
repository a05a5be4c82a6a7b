#include "poll/connection.h"

#include "poll/icmp.h"

#include <cstdlib>

namespace polling {

namespace {

bool contains(const std::string& s, const char* what) {
    return s.find(what) != std::string::npos;
}

} // namespace

Connections::Connections(Protocol& protocol, Clock& clock, StopSignal& stop, EventSink& events)
    : protocol_(protocol), clock_(clock), stop_(stop), events_(events) {}

Connections::~Connections() {
    protocol_.setTransport(nullptr);
    closePort();
}

void Connections::closePort() {
    if (serial_ && protocol_.transport() == serial_.get()) protocol_.setTransport(nullptr);
    serial_.reset();
    port_.close();
}

bool Connections::connectObject(const ObjectLink& o) {
    for (int attempt = 1;; ++attempt) {
        netType_ = o.netType;
        bool ok = false;
        switch (o.netType) {
        case 0:
            ok = connectSerial(o);
            break;
        case 1:
            ok = connectModem(o);
            break;
        case 2:
            ok = connectUdp(o);
            break;
        case 3:
            ok = connectTcp(o);
            break;
        default:
            ok = false;
            break;
        }
        if (ok) return true;
        line("Пауза 5 сек");
        for (int left = 4; left >= 0; --left) {
            if (!pause(Duration(1000))) break;
            replace("Пауза " + std::to_string(left) + " сек");
        }
        replace("Пауза 5 сек");
        if (stop_.requested() || attempt == 3) return false;
        line("Подключение попытка № " + std::to_string(attempt + 1));
    }
}

void Connections::checkLineReady(int deviceType) {
    port_.open();
    clock_.sleepFor(Duration(100), nullptr);
    if (settings_.noDtrCheck(deviceType)) {
        line("Порт " + port_.port() + " - проверка готовности отключена пользователем");
        return;
    }
    unsigned status = port_.modemStatus();
    if (status & (kDsr | kCts)) return;
    line("Порт " + port_.port() + " не подключен");
    closePort();
}

bool Connections::connectSerial(const ObjectLink& o) {
    line("Тип соединения - COM порт");
    closePort();
    try {
        port_.setPort(o.comPort);
        checkLineReady(o.deviceType);
        const bool open = port_.connected();
        line(port_.port() + "- Открыт");
        if (!open) return false;
        serial_ = std::make_unique<SerialLink>(port_.fd(), NetType::Com);
        protocol_.setTransport(serial_.get());
        return true;
    } catch (const SerialError&) {
        closePort();
        line("Порт " + o.comPort + "- Занят или отсутствует");
        return false;
    }
}

bool Connections::connectModem(const ObjectLink& o) {
    line("Тип соединения - Модем");
    try {
        closePort();
        pause(Duration(1000));
        port_.setPort(o.comPort);
        try {
            checkLineReady(o.deviceType);
        } catch (const SerialError&) {
            closePort();
            line("Порт " + o.comPort + "- Занят или отсутствует");
        }
        pause(Duration(1000));
        if (!port_.connected()) return false;
        line(port_.port() + "- Открыт");
        serial_ = std::make_unique<SerialLink>(port_.fd(), NetType::Modem);
        if (dialModem(o.phone)) {
            protocol_.setTransport(serial_.get());
            return true;
        }
        closePort();
        port_.setPort("");
        return false;
    } catch (const std::exception&) {
        closePort();
        line("Порт " + o.comPort + " занят");
        return false;
    }
}

bool Connections::connectUdp(const ObjectLink& o) {
    line("Тип соединения - Ethernet UDP");
    if (o.netAddress.empty() || o.ipPort == 0) {
        line("Не заданы IP адрес и порт. Проверте настройки соединения.");
        return false;
    }
    const std::string search = "Поиск узла " + o.netAddress;
    line(search);
    EchoOutcome r = icmpEcho(o.netAddress, std::string(32, char(0x23)), Duration(5000), clock_, &stop_);
    if (stop_.requested()) return false;
    switch (r) {
    case EchoOutcome::TimedOut:
        replace(search + " - Превышен таймаут");
        return false;
    case EchoOutcome::BadHost:
        replace(search + " - Неверный узел");
        return false;
    case EchoOutcome::Unreachable:
        replace(search + " - Узел не найден");
        return false;
    case EchoOutcome::Aborted:
        replace(search + " - Сброс");
        return false;
    case EchoOutcome::Refused:
        replace(search + " - проверка узла недоступна: ICMP запрещен системой");
        break;
    case EchoOutcome::Reply:
        replace(search + " - Узел найден");
        break;
    }
    line("Подключение " + o.netAddress + ":" + std::to_string(o.ipPort));
    line("");
    try {
        udp_ = std::make_unique<UdpLink>(o.netAddress, o.ipPort);
    } catch (const TransportError&) {
        replace("Подключение " + o.netAddress + ":" + std::to_string(o.ipPort) +
                " Ошибка подключения к узлу");
        return false;
    }
    protocol_.setTransport(udp_.get());
    return true;
}

bool Connections::pingNode(const std::string& host, int /*port*/, Duration timeout) {
    return icmpEcho(host, "abcdefghijklmnopqrstuvwabcdefghi", timeout, clock_, &stop_) == EchoOutcome::Reply;
}

bool Connections::connectTcp(const ObjectLink& o) {
    line("Тип соединения - Ethernet TCP");
    if (o.netAddress.empty() || o.ipPort == 0) {
        line("Не заданы IP адрес и порт. Проверте настройки соединения.");
        return false;
    }
    const std::string search = "Поиск узла " + o.netAddress;
    const std::string target = "Подключение " + o.netAddress + ":" + std::to_string(o.ipPort);
    line(search);
    EchoOutcome r =
        icmpEcho(o.netAddress, "abcdefghijklmnopqrstuvwabcdefghi", Duration(5000), clock_, &stop_);
    if (r == EchoOutcome::Refused) {
        replace(search + " - проверка узла недоступна: ICMP запрещен системой");
    } else if (r != EchoOutcome::Reply) {
        replace(search + " - Узел не отвечает");
        return false;
    } else {
        replace(search + " - Узел найден");
    }
    line(target);
    if (tcp_) {
        if (protocol_.transport() == tcp_.get()) protocol_.setTransport(nullptr);
        tcp_.reset();
    }
    try {
        tcp_ = std::make_unique<TcpLink>(o.netAddress, o.ipPort, clock_, Duration(5000), &stop_);
    } catch (const TcpConnectTimeout&) {
        replace(target + " - Превышен таймаут");
        return false;
    } catch (const TransportError&) {
        line(target + " Ошибка подключения к узлу");
        return false;
    }
    line("");
    protocol_.setTransport(tcp_.get());
    return true;
}

ModemReply Connections::modemCommand(const std::string& command, const std::string& expected,
                                     Duration timeout) {
    ModemReply r;
    modemBuffer_.clear();
    if (!serial_) return r;
    serial_->discardInput();
    try {
        serial_->send(reinterpret_cast<const uint8_t*>(command.data()), command.size());
    } catch (const TransportError&) {
        r.state = ExchangeState::TimedOut;
        return r;
    }
    TimePoint deadline = clock_.now() + timeout;
    while (r.state == ExchangeState::Waiting) {
        if (stop_.requested()) {
            r.state = ExchangeState::Stopped;
            break;
        }
        const TimePoint now = clock_.now();
        if (now >= deadline) {
            r.state = ExchangeState::TimedOut;
            break;
        }
        pollfd p[2] = {{serial_->fd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        if (clock_.pollFds(p, 2, std::chrono::ceil<Duration>(deadline - now)) <= 0 ||
            !(p[0].revents & POLLIN))
            continue;
        uint8_t buf[256];
        size_t n = 0;
        try {
            n = serial_->receive(buf, sizeof buf);
        } catch (const TransportError&) {
            r.state = ExchangeState::TimedOut;
            break;
        }
        if (n == 0) continue;
        modemBuffer_.append(reinterpret_cast<const char*>(buf), n);
        deadline = clock_.now() + timeout;
        if (modemBuffer_.find('\n') == std::string::npos) continue;
        const std::string& b = modemBuffer_;
        if (contains(b, expected.c_str())) {
            r.ok = true;
        } else if (contains(b, "NO") && contains(b, "DIAL") && contains(b, "TONE")) {
            line("Отсутствует гудок");
        } else if (contains(b, "BUSY")) {
            line("Абонент занят");
        } else if (contains(b, "NO CARRIER")) {
            line("No carrier");
        } else if (contains(b, "CONNECT")) {
            r.ok = true;
        } else if (contains(b, "OK")) {
        } else if (contains(b, "ERR")) {
            line("Ошибка модема");
        } else {
            continue;
        }
        r.state = ExchangeState::Complete;
    }
    r.text = modemBuffer_;
    return r;
}

bool Connections::dialModem(const std::string& number) {
    auto atCheck = [&] {
        for (int i = 0; i < 5; ++i) {
            if (modemCommand("AT\r\n", "OK", Duration(2000)).ok) return;
            if (!pause(Duration(1000))) return;
        }
    };
    atCheck();
    if (!contains(modemBuffer_, "OK")) {
        line("Модем не отвечает на команды");
        return false;
    }
    pause(Duration(1000));
    modemCommand("AT+CSQ\r\n", "OK", Duration(2000));
    if (contains(modemBuffer_, "OK")) {
        std::string s = modemBuffer_;
        auto colon = s.find(':');
        s.erase(0, colon == std::string::npos ? 0 : std::min(s.size(), colon + 2));
        auto comma = s.find(',');
        if (comma != std::string::npos) s.erase(comma);
        const int n = std::atoi(s.c_str());
        if (n <= 10) line("ВНИМАНИЕ! СЛАБЫЙ УРОВЕНЬ ПРИНИМАЕМОГО СИГНАЛА");
        line("Уровень принимаемого сигнала = " + std::to_string(n * 100 / 30) + " %");
    } else if (contains(modemBuffer_, "ERROR")) {
        line("Команда AT+CSQ не поддерживается");
    }
    atCheck();
    if (!contains(modemBuffer_, "OK")) {
        line("Модем не отвечает на команды");
        return false;
    }
    pause(Duration(1000));
    line("Набор номера " + number);
    return modemCommand("ATD" + number + "\r\n", "CONNECT", Duration(50000)).ok;
}

bool Connections::hangUp() {
    switch (netType_) {
    case 0:
        closePort();
        port_.setPort("");
        return true;
    case 1:
        if (port_.connected()) {
            for (int i = 0; i < 3; ++i) {
                pause(Duration(1500));
                if (modemCommand("+++", "OK", Duration(2000)).ok) break;
            }
            pause(Duration(1500));
            pause(Duration(100));
            modemCommand("ATH\r\n", "OK", Duration(2000));
        }
        closePort();
        port_.setPort("");
        pause(Duration(1000));
        return true;
    case 2:
        if (udp_ && protocol_.transport() == udp_.get()) protocol_.setTransport(nullptr);
        udp_.reset();
        clock_.sleepFor(Duration(1000), nullptr);
        return true;
    case 3:
        if (tcp_ && protocol_.transport() == tcp_.get()) protocol_.setTransport(nullptr);
        tcp_.reset();
        return true;
    default:
        return false;
    }
}

std::string Connections::modemStatusText() const {
    unsigned s = 0;
    try {
        s = port_.modemStatus();
    } catch (const SerialError&) {
        return {};
    }
    return lineSignalsText(s);
}

} // namespace polling
