#pragma once

#include <QObject>

#include <memory>

class QWidget;

namespace Ui {
class About;
} // namespace Ui

// The About window: the product's name and version, the copyright notice and three links. One is
// made on first use and kept for the run; it owns its window.
class About : public QObject {
    Q_OBJECT
public:
    ~About() override;

    // Makes the window when there is none and shows it in front.
    static void show();
    // The window of the run, made when missing (not shown).
    static About *shared();

    QWidget *window() const { return m_window; }
    Ui::About *ui() const { return m_ui.get(); }

private:
    About();

    std::unique_ptr<Ui::About> m_ui;
    QWidget *m_window = nullptr;
};
