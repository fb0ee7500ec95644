#pragma once

#include <QTextBrowser>

#include <memory>

class QPrinter;

// The read-only text of the history window, which prints itself on pages with fixed margins
// (10 points left and right, 20 top and bottom), the job name and date in a header and the page
// number in a footer. Links open with the desktop (folders of transfers are file URLs).
class PrintingTextView : public QTextBrowser {
    Q_OBJECT
public:
    static constexpr double SideMargin = 10.0;
    static constexpr double TopBottomMargin = 20.0;

    explicit PrintingTextView(QWidget *parent = nullptr);
    ~PrintingTextView() override;

    QString printJobName() const { return m_printJobName; }
    void setPrintJobName(const QString &name) { m_printJobName = name; }

    // The print command: a print dialog on the window (made once, kept with its settings), then
    // the text printed under the current job name. `beforePrinting` runs once the user agreed.
    void printDocument(std::function<void()> beforePrinting = {});
    // Lays the text out on the printer's pages and prints it; the job takes the current name.
    void print(QPrinter *printer) const;
    // The printer of the print command (made at the first print).
    QPrinter *printer() const { return m_printer.get(); }

private:
    QString m_printJobName;
    std::unique_ptr<QPrinter> m_printer;
};
