#pragma once

#include <QAbstractButton>
#include <QIcon>
#include <QString>

// The button inside a status item: an image centred on the panel-coloured item, tinted when it is a
// template, and a highlight like a pressed menu-bar button. It only paints: views laid over it (a later
// view covers it entirely) get their mouse and key events as usual, and it never grabs the pointer or the
// keyboard. It takes no focus.
class StatusBarButton : public QAbstractButton {
    Q_OBJECT
public:
    // Space left and right of the image, and above and below it at most.
    static constexpr int horizontalPaddingPixels = 4;
    static constexpr int verticalPaddingPixels = 2;

    explicit StatusBarButton(QWidget* parent = nullptr);

    // A named image from Images; a template when the name ends in "Template". An unknown name clears it.
    void setImage(const QString& name);
    // An image made in code; `isTemplate` tints it like a named template.
    void setImage(const QIcon& image, bool isTemplate);
    QIcon image() const { return image_; }
    // The name given to setImage(QString); empty for an image made in code.
    QString imageName() const { return imageName_; }
    bool isImageTemplate() const { return imageIsTemplate_; }

    void setHighlighted(bool highlighted);
    bool isHighlighted() const { return highlighted_; }

    // The button's rectangle in its own coordinates (what views laid over it fill).
    QRect bounds() const { return rect(); }

    // The size the image is drawn at, fitted into the button's height; what a variable-length item is sized
    // by.
    QSize imageSize() const;
    QSize sizeHint() const override;

signals:
    // The image changed, so a variable-length item may need another width.
    void imageChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QIcon image_;
    QString imageName_;
    QSize imageNaturalSize_;
    bool imageIsTemplate_ = false;
    bool highlighted_ = false;
};
