#include "calls/CallWebPage.h"

#include "calls/Call.h"

#include <QLoggingCategory>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>

namespace {

Q_LOGGING_CATEGORY(lcPage, "murnavell.calls.page")

// Lets through only what the page makes itself: its document and media streams.
class LocalOnly : public QWebEngineUrlRequestInterceptor {
public:
    void interceptRequest(QWebEngineUrlRequestInfo &info) override {
        const QString scheme = info.requestUrl().scheme();
        if (scheme == QLatin1String("data") || scheme == QLatin1String("blob")) return;
        qCWarning(lcPage).noquote() << "blocked a request for" << info.requestUrl().toDisplayString();
        info.block(true);
    }
};

bool sameOrigin(const QUrl &a, const QUrl &b) {
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port() == b.port();
}

} // namespace

QWebEngineProfile *CallWebPage::profile() {
    // Never deleted: pages of windows that close while the program ends must not outlive it.
    static QWebEngineProfile *shared = [] {
        auto *p = new QWebEngineProfile; // off the record: no name
        p->setUrlRequestInterceptor(new LocalOnly);
        p->setHttpCacheType(QWebEngineProfile::NoCache);
        p->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
        p->setSpellCheckEnabled(false);
        QWebEngineSettings *s = p->settings();
        // The ring is answered, and calls are placed, outside the page: sound plays at once.
        s->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, false);
        s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
        s->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, false);
        s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
        s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
        s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
        s->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
        s->setAttribute(QWebEngineSettings::ScreenCaptureEnabled, false);
        s->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
        s->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
        s->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
        s->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
        return p;
    }();
    return shared;
}

CallWebPage::CallWebPage(QObject *parent) : QWebEnginePage(profile(), parent) {
    connect(this, &QWebEnginePage::featurePermissionRequested, this, &CallWebPage::permissionRequested);
}

void CallWebPage::loadDocument(const QString &html, const QUrl &baseUrl) {
    m_baseUrl = baseUrl;
    m_loading = true;
    setHtml(html, baseUrl);
}

bool CallWebPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) {
    // The document set by loadDocument, once; nothing after it.
    if (m_loading && isMainFrame && (url.scheme() == QLatin1String("data") || url == m_baseUrl)) {
        m_loading = false;
        return true;
    }
    m_refused.append(QStringLiteral("navigation %1 %2").arg(int(type)).arg(url.toDisplayString()));
    qCWarning(lcPage).noquote() << "refused a navigation to" << url.toDisplayString();
    return false;
}

QWebEnginePage *CallWebPage::createWindow(WebWindowType type) {
    m_refused.append(QStringLiteral("window %1").arg(int(type)));
    return nullptr;
}

void CallWebPage::javaScriptAlert(const QUrl &, const QString &msg) {
    m_refused.append(QStringLiteral("alert ") + msg);
}

bool CallWebPage::javaScriptConfirm(const QUrl &, const QString &msg) {
    m_refused.append(QStringLiteral("confirm ") + msg);
    return false;
}

bool CallWebPage::javaScriptPrompt(const QUrl &, const QString &msg, const QString &, QString *) {
    m_refused.append(QStringLiteral("prompt ") + msg);
    return false;
}

void CallWebPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message,
                                           int lineNumber, const QString &) {
    if (level == ErrorMessageLevel)
        qCWarning(lcPage).noquote() << "line" << lineNumber << message;
    else
        qCDebug(lcPage).noquote() << "line" << lineNumber << message;
}

bool CallWebPage::grants(const QUrl &origin, const QUrl &pageUrl, Feature feature) {
    if (!sameOrigin(origin, pageUrl)) return false;
    switch (feature) {
    case MediaAudioCapture:
        return !Call::microphoneDenied();
    case MediaVideoCapture:
        return !Call::cameraDenied();
    case MediaAudioVideoCapture:
        return !Call::microphoneDenied() && !Call::cameraDenied();
    default:
        return false;
    }
}

void CallWebPage::permissionRequested(const QUrl &origin, Feature feature) {
    const bool granted = grants(origin, m_baseUrl, feature);
    if (!granted)
        m_refused.append(QStringLiteral("feature %1 %2").arg(int(feature)).arg(origin.toDisplayString()));
    setFeaturePermission(origin, feature, granted ? PermissionGrantedByUser : PermissionDeniedByUser);
}
