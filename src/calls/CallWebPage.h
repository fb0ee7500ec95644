#pragma once

#include <QStringList>
#include <QUrl>
#include <QWebEnginePage>

class QWebEngineProfile;

// The web page of a call window. It shows only the call page the window assembles: every
// navigation after that first load, every new window and every request for anything but the
// page's own data is refused, no dialog is ever shown, and only the page's own origin may use
// the camera and the microphone (and not a device the system refused).
class CallWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    // The pages of calls share one profile that keeps nothing on disk and lets nothing load
    // from the network.
    static QWebEngineProfile *profile();

    explicit CallWebPage(QObject *parent = nullptr);

    // Loads the document against the page's origin; the one navigation the page allows.
    void loadDocument(const QString &html, const QUrl &baseUrl);

    // What the page tried that was refused (tests): navigations, windows and dialogs.
    const QStringList &refused() const { return m_refused; }

    // Whether a request of the page's origin for the feature is granted.
    static bool grants(const QUrl &origin, const QUrl &pageUrl, Feature feature);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage *createWindow(WebWindowType type) override;
    void javaScriptAlert(const QUrl &securityOrigin, const QString &msg) override;
    bool javaScriptConfirm(const QUrl &securityOrigin, const QString &msg) override;
    bool javaScriptPrompt(const QUrl &securityOrigin, const QString &msg, const QString &defaultValue,
                          QString *result) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message, int lineNumber,
                                  const QString &sourceID) override;

private:
    void permissionRequested(const QUrl &origin, Feature feature);

    QUrl m_baseUrl;
    bool m_loading = false;
    QStringList m_refused;
};
