// Makes every fixed-size control's text fit its given width: the layout
// stays as placed, and a control whose text would be cut gets the largest
// font size (down to a floor) at which it fits.
#pragma once

#include <QComboBox>
#include <QString>
#include <QWidget>

namespace ostrel::console {

// Fits every label, button, check box, option button, list and picker under root.
void fitTexts(QWidget* root);

// The room a control's text has, and the width its longest text needs, at
// its current font. Used to check that nothing is cut.
int textRoom(const QWidget* w);
int textNeed(const QWidget* w);

// A drop-down list whose closed box shows its item with runs of blanks
// narrowed to two, so "星期一             1" shows as "星期一  1" in the room a
// small list has; the items themselves and the open list keep every blank.
class CompactComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    static QString compact(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showPopup() override;
};

}  // namespace ostrel::console
