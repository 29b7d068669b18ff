#include "console/FitText.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QAbstractItemView>
#include <QRegularExpression>
#include <QStyle>
#include <QStylePainter>
#include <QStyleOptionComboBox>
#include <QStyleOptionSpinBox>
#include <algorithm>

namespace ostrel::console {
namespace {

constexpr int kSmallestPixelSize = 9;

// The texts a control may show: its caption, every list item, or a picker's
// widest value in its display format.
QStringList textsOf(const QWidget* w) {
    if (auto* l = qobject_cast<const QLabel*>(w)) return {l->text()};
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return {b->text()};
    if (auto* c = qobject_cast<const QComboBox*>(w)) {
        QStringList items;
        for (int i = 0; i < c->count(); ++i) items << CompactComboBox::compact(c->itemText(i));
        return items;
    }
    if (auto* d = qobject_cast<const QDateTimeEdit*>(w))
        return {QDateTime(QDate(2000, 12, 28), QTime(20, 58, 58)).toString(d->displayFormat())};
    return {};
}

}  // namespace

int textNeed(const QWidget* w) {
    int need = 0;
    for (const QString& t : textsOf(w)) need = std::max(need, w->fontMetrics().horizontalAdvance(t));
    return need;
}

int textRoom(const QWidget* w) {
    const QStyle* s = w->style();
    if (auto* d = qobject_cast<const QDateTimeEdit*>(w)) {
        QStyleOptionSpinBox o;
        o.initFrom(d);
        o.rect = d->rect();
        o.frame = true;
        o.buttonSymbols = d->buttonSymbols();
        o.subControls = QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown |
                        QStyle::SC_SpinBoxFrame;
        // The line edit inside keeps a small margin of its own.
        return s->subControlRect(QStyle::CC_SpinBox, &o, QStyle::SC_SpinBoxEditField, d).width() - 4;
    }
    if (auto* c = qobject_cast<const QComboBox*>(w)) {
        QStyleOptionComboBox o;
        o.initFrom(c);
        o.rect = c->rect();
        o.editable = c->isEditable();
        o.frame = c->hasFrame();
        return s->subControlRect(QStyle::CC_ComboBox, &o, QStyle::SC_ComboBoxEditField, c).width() - 4;
    }
    if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) {
        const bool check = qobject_cast<const QCheckBox*>(w) != nullptr;
        int indicator = s->pixelMetric(check ? QStyle::PM_IndicatorWidth : QStyle::PM_ExclusiveIndicatorWidth, nullptr, w);
        int spacing = s->pixelMetric(check ? QStyle::PM_CheckBoxLabelSpacing : QStyle::PM_RadioButtonLabelSpacing,
                                     nullptr, w);
        return w->width() - indicator - spacing;
    }
    if (qobject_cast<const QPushButton*>(w))
        return w->width() - 2 * s->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w) / 2 - 4;
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->contentsRect().width() - 2 * l->margin() - l->indent() * 0;
    return w->width();
}

QString CompactComboBox::compact(const QString& text) {
    static const QRegularExpression blanks("   +");
    return QString(text).replace(blanks, "  ");
}

void CompactComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionComboBox o;
    initStyleOption(&o);
    painter.drawComplexControl(QStyle::CC_ComboBox, o);
    o.currentText = compact(o.currentText);
    painter.drawControl(QStyle::CE_ComboBoxLabel, o);
}

void CompactComboBox::showPopup() {
    // The open list is as wide as its widest item needs.
    int widest = 0;
    for (int i = 0; i < count(); ++i) widest = std::max(widest, fontMetrics().horizontalAdvance(itemText(i)));
    view()->setMinimumWidth(widest + 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 24);
    QComboBox::showPopup();
}

void fitTexts(QWidget* root) {
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (auto* l = qobject_cast<QLabel*>(w); l && l->wordWrap()) continue;
        if (textsOf(w).isEmpty()) continue;
        QFont f = w->font();
        int px = f.pixelSize() > 0 ? f.pixelSize() : QFontInfo(f).pixelSize();
        while (textNeed(w) > textRoom(w) && px > kSmallestPixelSize) {
            f.setPixelSize(--px);
            w->setFont(f);
        }
    }
}

}  // namespace ostrel::console
