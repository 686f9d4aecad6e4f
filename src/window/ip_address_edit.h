// IpAddressEdit: an IPv4 address as four number fields between dots, framed like one line
// edit. Each field takes only 0 to 255 (an empty field counts as 0), so every text the control
// can hold is a valid address. Typing a dot or a blank, or a third digit, moves on to the next
// field; Backspace and the arrow keys cross into the neighbouring fields; pasting a whole
// dotted address fills all four. Tab enters at the first field and leaves the control.
//
// Widget: GUI thread only; owned by its Qt parent.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>

class QKeyEvent;
class QLineEdit;

namespace parlon {

class IpAddressEdit final : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kFieldCount = 4;

    explicit IpAddressEdit(QWidget* parent);

    // The address in network byte order (the first field in the first byte).
    uint32_t Address() const;
    void SetAddress(uint32_t networkOrder);
    // The address as dotted decimal text.
    QString Text() const;

    QLineEdit* Field(int index) const { return m_fields.at(static_cast<size_t>(index)); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int IndexOf(const QObject* field) const;
    // Focus to field `index` with the cursor at its start or end, or its text selected.
    enum class Entry { Start, End, SelectAll };
    void EnterField(int index, Entry entry);
    bool HandleKey(int index, const QKeyEvent& key);

    std::array<QLineEdit*, kFieldCount> m_fields{};
};

}  // namespace parlon
