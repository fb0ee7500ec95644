#pragma once

#include "ui/conversation/HyperlinkTextView2.h"

// The log of a conversation: read-only, links open, and a resize keeps the end in view when it
// was in view and tells "conversationResize" (object: this view) so that embedded transfer
// views can re-lay themselves.
class TextViewForReading : public HyperlinkTextView2 {
    Q_OBJECT
public:
    explicit TextViewForReading(QWidget *parent = nullptr);
    void scrollToEnd();
    bool atEnd() const;

protected:
    void resizeEvent(QResizeEvent *event) override;
};
