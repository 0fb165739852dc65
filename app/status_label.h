#ifndef TANDEO_APP_STATUS_LABEL_H
#define TANDEO_APP_STATUS_LABEL_H

// A label whose text changes with every frame shared, among a handful of texts ("Sharing" and
// up to five dots). A rich-text label lays its text out afresh at every change, which at thirty
// frames a second is most of what the window spends on a share; this one draws each text once
// and shows it from a picture after that. It looks and reads (text(), accessibility) as the
// QLabel it is.

#include <QHash>
#include <QLabel>
#include <QPixmap>

class StatusLabel : public QLabel
{
    Q_OBJECT

public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // Draws the current text into a picture for the paints after.
    void keepPicture();

    QHash<QString, QPixmap> m_drawn; // by text, for the current font, colours and size
    bool m_drawing = false; // QLabel is painting into a picture
};

#endif // TANDEO_APP_STATUS_LABEL_H
