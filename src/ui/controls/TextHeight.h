#pragma once

class QTextEdit;

// The height a text view's text needs at a width, laid out apart from the view (the user
// information window sizes its fields by it).
class TextHeight {
public:
    static double textHeightForWidth(const QTextEdit *view, double width);
};
