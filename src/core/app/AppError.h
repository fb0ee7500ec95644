#pragma once

#include <QString>

// An error as the rest of the program reports it: a domain, a code within it and a text for
// the user. An empty domain means no error.
struct AppError {
    QString domain;
    int code = 0;
    QString description;

    bool isError() const { return !domain.isEmpty(); }
    bool operator==(const AppError &) const = default;
};
