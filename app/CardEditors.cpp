#include "app/CardEditors.h"

#include "protocol/HexDigit.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace {

QString Hex(const uint8_t* Bytes, size_t Count)
{
    QStringList pairs;
    for (size_t i = 0; i < Count; ++i)
        pairs << QStringLiteral("%1").arg(Bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    return pairs.join(QLatin1Char(' '));
}

QString Bits(uint8_t Cond)
{
    return QStringLiteral("%1%2%3").arg((Cond >> 2) & 1).arg((Cond >> 1) & 1).arg(Cond & 1);
}

// OK and Cancel with objectNames, wired to the dialog.
void AddButtons(QDialog* Dialog, QVBoxLayout* Layout, const char* Ok, const char* Cancel)
{
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Dialog);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QLatin1String(Ok));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QLatin1String(Cancel));
    QObject::connect(buttons, &QDialogButtonBox::accepted, Dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, Dialog, &QDialog::reject);
    Layout->addWidget(buttons);
}

QLabel* BytesLabel(const char* Name, QWidget* Parent)
{
    auto* label = new QLabel(Parent);
    label->setObjectName(QLatin1String(Name));
    label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

TBlockImage BlockAt(const TDumpImage& Image, int Block)
{
    return {Image.Data[size_t(Block)], Image.Known[size_t(Block)]};
}

void SetBlockAt(TDumpImage& Image, int Block, const TBlockImage& Bytes)
{
    Image.Data[size_t(Block)] = Bytes.Data;
    Image.Known[size_t(Block)] = Bytes.Known;
}

QString DigitsOf(const TBlockImage& Block)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    for (size_t i = 0; i < size_t(BlockBytes); ++i) {
        text += Block.Known[i] & 0xF0 ? QLatin1Char(digits[Block.Data[i] >> 4]) : QLatin1Char('-');
        text += Block.Known[i] & 0x0F ? QLatin1Char(digits[Block.Data[i] & 0x0F]) : QLatin1Char('-');
    }
    return text;
}

std::optional<TBlockImage> BlockOfDigits(const QString& Digits)
{
    if (Digits.size() != 2 * BlockBytes)
        return std::nullopt;
    TBlockImage block;
    for (int i = 0; i < 2 * BlockBytes; ++i) {
        const QChar c = Digits[i];
        const int shift = i % 2 == 0 ? 4 : 0;
        if (c == QLatin1Char('-'))
            continue;
        const int value = c.unicode() < 128 ? HexDigitValue(char(c.unicode())) : -1;
        if (value < 0)
            return std::nullopt;
        block.Data[size_t(i / 2)] |= uint8_t(value << shift);
        block.Known[size_t(i / 2)] |= uint8_t(0x0F << shift);
    }
    return block;
}

// ---------------------------------------------------------- access conditions

TAccessEditor::TAccessEditor(int Sector, const TBlockImage& Trailer, QWidget* Parent)
    : QDialog(Parent)
    , FSector(Sector)
    , FTrailer(Trailer)
{
    setObjectName(QStringLiteral("AccessDialog"));
    setWindowTitle(QStringLiteral("Access conditions of sector %1").arg(Sector));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Choose what the keys may do with each block; the access bits are made "
                                            "from the choices, with their inverted copies."),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("<b>C1 C2 C3 and rights</b>"), this), 0, 1);
    for (int row = 0; row < BlocksPerSector; ++row) {
        const int block = BlockOf(Sector, row);
        const bool trailer = row == TrailerRow;
        auto* combo = new QComboBox(this);
        combo->setObjectName(trailer ? QStringLiteral("AccessTrailer") : QStringLiteral("AccessBlock%1").arg(row));
        for (const uint8_t cond : ConditionRows) {
            const std::string rights
                = trailer ? TrailerRightsText(TrailerBlockRights(cond)) : DataRightsText(DataBlockRights(cond));
            combo->addItem(Bits(cond) + QStringLiteral("   ") + QString::fromStdString(rights), cond);
        }
        auto* label = new QLabel(trailer ? QStringLiteral("Trailer (block %1)").arg(block) : QStringLiteral("Block %1").arg(block), this);
        label->setBuddy(combo);
        grid->addWidget(label, row + 1, 0);
        grid->addWidget(combo, row + 1, 1);
        FRows[size_t(row)] = combo;
    }
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    FBytes = BytesLabel("AccessBytes", this);
    layout->addWidget(FBytes);
    FNote = new QLabel(this);
    FNote->setObjectName(QStringLiteral("AccessNote"));
    FNote->setWordWrap(true);
    layout->addWidget(FNote);
    FPermanent = new QLabel(this);
    FPermanent->setObjectName(QStringLiteral("AccessPermanent"));
    FPermanent->setWordWrap(true);
    FPermanent->setStyleSheet(QStringLiteral("color: red"));
    layout->addWidget(FPermanent);
    AddButtons(this, layout, "AccessOk", "AccessCancel");

    // The trailer's own conditions where its three bytes are known and agree.
    TConditionSet start = TransportConditions;
    bool known = true;
    for (int i = AccessBitsOffset; i < AccessBitsOffset + 3; ++i)
        known = known && Trailer.Known[size_t(i)] == 0xFF;
    if (!known) {
        FStart = QStringLiteral("The trailer's access bits are not known: the transport configuration is proposed.");
    } else if (const TAccessConditions now = TrailerAccess(Trailer.Data); !now.Consistent) {
        FStart = QStringLiteral("The trailer's access bits are inconsistent (they would lock the sector): the transport "
                                "configuration is proposed.");
    } else {
        start = now.Cond;
    }
    for (int row = 0; row < BlocksPerSector; ++row) {
        QComboBox* combo = FRows[size_t(row)];
        combo->setCurrentIndex(combo->findData(start[size_t(row)]));
        connect(combo, &QComboBox::currentIndexChanged, this, &TAccessEditor::Update);
    }
    Update();
}

TConditionSet TAccessEditor::Conditions() const
{
    TConditionSet cond{};
    for (size_t row = 0; row < cond.size(); ++row)
        cond[row] = uint8_t(FRows[row]->currentData().toUInt());
    return cond;
}

std::array<uint8_t, 3> TAccessEditor::Bytes() const { return EncodeAccess(Conditions()); }

TBlockImage TAccessEditor::Trailer() const
{
    TBlockImage trailer = FTrailer;
    SetAccess(trailer.Data, Conditions());
    for (int i = AccessBitsOffset; i < AccessBitsOffset + 3; ++i)
        trailer.Known[size_t(i)] = 0xFF;
    return trailer;
}

void TAccessEditor::Update()
{
    const std::array<uint8_t, 3> bytes = Bytes();
    FBytes->setText(QStringLiteral("Bytes 6, 7, 8: ") + Hex(bytes.data(), bytes.size()));
    QStringList note;
    if (!FStart.isEmpty())
        note << FStart;
    if (KeyBReadable(Conditions()[TrailerRow]))
        note << QStringLiteral("Key B can be read under this trailer condition: it is data, not a key, and opens "
                               "nothing (rights of B do not apply).");
    FNote->setText(note.join(QLatin1Char(' ')));
    FNote->setVisible(!note.isEmpty());
    QStringList locks;
    for (const std::string& words : PermanentLocks(Conditions(), FSector))
        locks << QString::fromStdString(words);
    FPermanent->setText(locks.isEmpty() ? QString() : QStringLiteral("Permanent: ") + locks.join(QStringLiteral("; ")) + QLatin1Char('.'));
    FPermanent->setVisible(!locks.isEmpty());
}

// ---------------------------------------------------------------- value block

TValueEditor::TValueEditor(int Block, const TBlockImage& Current, QWidget* Parent)
    : QDialog(Parent)
{
    setObjectName(QStringLiteral("ValueDialog"));
    setWindowTitle(QStringLiteral("Value block %1").arg(Block));
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    FValue = new QSpinBox(this);
    FValue->setObjectName(QStringLiteral("ValueAmount"));
    FValue->setRange(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
    FAddress = new QSpinBox(this);
    FAddress->setObjectName(QStringLiteral("ValueAddress"));
    FAddress->setRange(0, 255);
    grid->addWidget(new QLabel(QStringLiteral("Value"), this), 0, 0);
    grid->addWidget(FValue, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Address"), this), 1, 0);
    grid->addWidget(FAddress, 1, 1);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    FBytes = BytesLabel("ValueBytes", this);
    layout->addWidget(FBytes);
    AddButtons(this, layout, "ValueOk", "ValueCancel");

    std::optional<TValueBlock> value;
    if (std::all_of(Current.Known.begin(), Current.Known.end(), [](uint8_t Bits) { return Bits == 0xFF; }))
        value = DecodeValueBlock(Current.Data);
    FValue->setValue(value ? value->Value : 0);
    FAddress->setValue(value ? value->Address : Block & 0xFF);
    connect(FValue, &QSpinBox::valueChanged, this, &TValueEditor::Update);
    connect(FAddress, &QSpinBox::valueChanged, this, &TValueEditor::Update);
    Update();
}

TBlockImage TValueEditor::Block() const
{
    TBlockImage block;
    block.Data = MakeValueBlock(int32_t(FValue->value()), uint8_t(FAddress->value()));
    block.Known.fill(0xFF);
    return block;
}

void TValueEditor::Update()
{
    const TBlockImage block = Block();
    FBytes->setText(QStringLiteral("Bytes: ") + Hex(block.Data.data(), block.Data.size()));
}
