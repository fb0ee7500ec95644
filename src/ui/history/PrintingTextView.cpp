#include "ui/history/PrintingTextView.h"

#include "platform/strings/Strings.h"
#include "ui/controls/DateFormatter.h"

#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

PrintingTextView::PrintingTextView(QWidget *parent) : QTextBrowser(parent) {
    setReadOnly(true);
    // A link is never followed inside the view: a folder would replace the history.
    setOpenLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this,
            [](const QUrl &url) { QDesktopServices::openUrl(url); });
    document()->setDocumentMargin(6);
}

PrintingTextView::~PrintingTextView() = default;

void PrintingTextView::printDocument(std::function<void()> beforePrinting) {
    if (!m_printer) {
        m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        m_printer->setFullPage(true);
    }
    m_printer->setDocName(m_printJobName);
    auto *dialog = new QPrintDialog(m_printer.get(), window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setOptions(dialog->options() | QAbstractPrintDialog::PrintPageRange);
    connect(dialog, &QDialog::accepted, this, [this, beforePrinting = std::move(beforePrinting)] {
        if (beforePrinting) beforePrinting();
        print(m_printer.get());
    });
    dialog->open();
}

void PrintingTextView::print(QPrinter *printer) const {
    if (!printer) return;
    printer->setDocName(m_printJobName);
    printer->setFullPage(true);
    QPainter painter;
    if (!painter.begin(printer)) return;

    // Margins are given in points; the painter works in the printer's device pixels.
    const double perPoint = printer->resolution() / 72.0;
    const QRectF paper = printer->paperRect(QPrinter::DevicePixel);
    const QRectF body(SideMargin * perPoint, TopBottomMargin * perPoint,
                      paper.width() - 2 * SideMargin * perPoint,
                      paper.height() - 2 * TopBottomMargin * perPoint);

    std::unique_ptr<QTextDocument> pages(document()->clone());
    pages->documentLayout()->setPaintDevice(printer);
    pages->setDocumentMargin(0);
    pages->setPageSize(body.size());
    // Paper is white whatever the screen's palette: shaded paragraphs take light shades.
    const QColor alternate = palette().color(QPalette::AlternateBase);
    QTextCursor paint(pages.get());
    for (QTextBlock b = pages->begin(); b.isValid(); b = b.next()) {
        if (b.blockFormat().background().style() == Qt::NoBrush) continue;
        QTextBlockFormat format = b.blockFormat();
        format.setBackground(format.background().color() == alternate ? QColor(0xee, 0xee, 0xee)
                                                                      : QColor(Qt::white));
        paint.setPosition(b.position());
        paint.setBlockFormat(format);
    }
    const int count = pages->pageCount();

    QFont small = pages->defaultFont();
    small.setPointSizeF(7.0);
    const QString date = DateFormatter::format(QDateTime(), true);
    const QString footer = Strings::localized(QStringLiteral("Page %1 of %2"));
    for (int page = 0; page < count; ++page) {
        if (page > 0) printer->newPage();
        painter.save();
        painter.translate(body.left(), body.top() - page * body.height());
        const QRectF shown(0, page * body.height(), body.width(), body.height());
        painter.setClipRect(shown);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = shown;
        context.palette.setColor(QPalette::Text, Qt::black);
        pages->documentLayout()->draw(&painter, context);
        painter.restore();

        // Header and footer in the margins.
        painter.save();
        painter.setFont(small);
        painter.setPen(Qt::black);
        const QRectF head(body.left(), 0, body.width(), body.top());
        painter.drawText(head, Qt::AlignLeft | Qt::AlignVCenter, m_printJobName);
        painter.drawText(head, Qt::AlignRight | Qt::AlignVCenter, date);
        const QRectF foot(body.left(), body.bottom(), body.width(), paper.height() - body.bottom());
        painter.drawText(foot, Qt::AlignRight | Qt::AlignVCenter, footer.arg(page + 1).arg(count));
        painter.restore();
    }
    painter.end();
}
