#pragma once

#include <QFont>
#include <QObject>
#include <QPointer>

#include <QMainWindow>
class QSplitter;

// The base of the conversation and mass-message windows: the text font from the setting
// "fontSize", followed live, and the collapsible pane on the right of the window's horizontal
// splitter (its last widget).
class MessageWindowController : public QObject {
    Q_OBJECT
public:
    explicit MessageWindowController(QObject *parent = nullptr);
    ~MessageWindowController() override;

    QMainWindow *window() const { return m_window; }
    QFont textFont() const { return m_textFont; }
    // The setting as a pixel size, kept within what a text view can show.
    static int fontSize();

    // Hides a shown right pane or shows a hidden one. Hiding at once leaves the window's size;
    // otherwise the window gives back (or takes) the pane's width.
    void toggleRightPane(bool atOnce);
    bool rightPaneHidden() const;
    // Shows the window in this frame, out of full screen, in front and focused.
    void resizeToFrame(const QRect &frame);

protected:
    // The form is set up: observe the font setting and take the splitter.
    void windowDidLoad(QMainWindow *window, QSplitter *horisontalSplit);
    virtual void fontSizeChanged() {}

    QPointer<QMainWindow> m_window;
    QSplitter *m_horisontalSplit = nullptr;
    int m_rightWidth = 0;

private:
    void updateFont();
    QFont m_textFont;
};
