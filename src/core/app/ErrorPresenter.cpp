#include "core/app/ErrorPresenter.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcPresent, "murnavell.app.error")

class LoggingErrorPresenter final : public ErrorPresenter {
public:
    void presentError(const AppError &error) override {
        qCWarning(lcPresent).noquote() << error.domain << error.code << error.description;
    }
};

LoggingErrorPresenter g_logging;
ErrorPresenter *g_installed = nullptr;

} // namespace

ErrorPresenter &ErrorPresenter::current() { return g_installed ? *g_installed : g_logging; }

void ErrorPresenter::install(ErrorPresenter *presenter) { g_installed = presenter; }
