#pragma once

namespace tresor {

struct Datum {
    int Jahr = 2000;
    int Monat = 1;
    int Tag = 1;
};

struct Zeit {
    int Stunde = 0;
    int Minute = 0;
    int Sekunde = 0;
};

// The clock: the current date and the current time, two separate readings.
class Uhr {
public:
    virtual ~Uhr() = default;
    virtual Datum Date() = 0;
    virtual Zeit Time() = 0;
};

// The local wall clock.
class Systemuhr final : public Uhr {
public:
    Datum Date() override;
    Zeit Time() override;
};

} // namespace tresor
