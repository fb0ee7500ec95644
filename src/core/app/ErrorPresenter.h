#pragma once

#include "core/app/AppError.h"

// Where errors meant for the user go. Until the windows exist the installed presenter only
// logs; tests install a recorder.
class ErrorPresenter {
public:
    virtual ~ErrorPresenter() = default;
    virtual void presentError(const AppError &error) = 0;

    // The process-wide presenter; never null (falls back to a logging one).
    static ErrorPresenter &current();
    // Installs a presenter (not owned); null puts the logging one back.
    static void install(ErrorPresenter *presenter);
};
