#include "core/StorageConfigFile.h"

#include "protect/ProtectedFile.h"
#include "protect/RollbackGuard.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <limits>
#include <optional>
#include <type_traits>

namespace korvex::core {

namespace {

const QString kBackend = QStringLiteral("backend");
const QString kRawDiskClaim = QStringLiteral("rawDiskClaim");
const QString kContainer = QStringLiteral("container");
const QString kMaxVaultSizeBytes = QStringLiteral("maxVaultSizeBytes");
const QString kPendingDeletePath = QStringLiteral("pendingDeletePath");
const QString kPendingDeleteAttempts = QStringLiteral("pendingDeleteAttempts");
const QString kPendingDeleteRawDisk = QStringLiteral("pendingDeleteRawDisk");
const QString kBoundVaultId = QStringLiteral("boundVaultId");
const QString kBoundVaultIdRecorded = QStringLiteral("boundVaultIdRecorded");

const QString kDiskNumber = QStringLiteral("diskNumber");
const QString kClaimedStartOffset = QStringLiteral("claimedStartOffset");
const QString kClaimedLength = QStringLiteral("claimedLength");
const QString kSectorSize = QStringLiteral("sectorSize");
const QString kDiskSerialHash = QStringLiteral("diskSerialHash");

const QString kOverrideDirectory = QStringLiteral("overrideDirectory");
const QString kOverrideFileName = QStringLiteral("overrideFileName");
const QString kHidden = QStringLiteral("hidden");
const QString kDeleteRestricted = QStringLiteral("deleteRestricted");
const QString kPendingMigrateFromPath = QStringLiteral("pendingMigrateFromPath");
const QString kPendingMigrateAttempts = QStringLiteral("pendingMigrateAttempts");

const QString kRawDiskText = QStringLiteral("rawdisk");
const QString kContainerText = QStringLiteral("container");

// Offsets, lengths, sector sizes and the size limit travel as decimal text. Missing or empty
// text is 0; anything else that is not a decimal number of the target type (a JSON number in
// place of the text included) clears *ok and leaves the field at 0.
template <typename T> T decimalField(const QJsonObject& object, const QString& key, bool* ok) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return 0;
    if (!value.isString()) {
        *ok = false;
        return 0;
    }
    const QString text = value.toString();
    if (text.isEmpty())
        return 0;
    bool parsed = false;
    T result = 0;
    if constexpr (std::is_same_v<T, quint64>)
        result = text.toULongLong(&parsed, 10);
    else if constexpr (std::is_same_v<T, quint32>)
        result = text.toUInt(&parsed, 10);
    else
        result = text.toLongLong(&parsed, 10);
    if (!parsed) {
        *ok = false;
        return 0;
    }
    return result;
}

int intField(const QJsonObject& object, const QString& key) {
    return object.value(key).toInt(0);
}

quint32 diskNumberField(const QJsonObject& object) {
    const qint64 number = object.value(kDiskNumber).toInteger(0);
    if (number < 0 || number > qint64(std::numeric_limits<quint32>::max()))
        return 0;
    return quint32(number);
}

QJsonObject claimToJson(const RawDiskClaim& claim) {
    return QJsonObject{
        {kDiskNumber, qint64(claim.diskNumber)},
        {kClaimedStartOffset, QString::number(claim.claimedStartOffset)},
        {kClaimedLength, QString::number(claim.claimedLength)},
        {kSectorSize, QString::number(claim.sectorSize)},
        {kDiskSerialHash, QString::fromLatin1(claim.diskSerialHash.toBase64())},
    };
}

QJsonObject containerToJson(const ContainerSettings& settings) {
    return QJsonObject{
        {kOverrideDirectory, settings.overrideDirectory},
        {kOverrideFileName, settings.overrideFileName},
        {kHidden, settings.hidden},
        {kDeleteRestricted, settings.deleteRestricted},
        {kPendingMigrateFromPath, settings.pendingMigrateFromPath},
        {kPendingMigrateAttempts, settings.pendingMigrateAttempts},
    };
}

QJsonObject toJson(const StorageConfig& config) {
    return QJsonObject{
        {kBackend, config.backend == StorageBackend::RawDisk ? kRawDiskText : kContainerText},
        {kRawDiskClaim, claimToJson(config.rawDiskClaim)},
        {kContainer, containerToJson(config.container)},
        {kMaxVaultSizeBytes, QString::number(config.maxVaultSizeBytes)},
        {kPendingDeletePath, config.pendingDeletePath},
        {kPendingDeleteAttempts, config.pendingDeleteAttempts},
        {kPendingDeleteRawDisk, config.pendingDeleteRawDisk},
        {kBoundVaultId, config.boundVaultId},
        {kBoundVaultIdRecorded, config.boundVaultIdRecorded},
    };
}

// Fills every field it can; false when a number is malformed or a raw-disk record has no claim.
bool fromJson(const QJsonObject& object, StorageConfig* config) {
    bool ok = true;
    config->backend = object.value(kBackend).toString() == kRawDiskText ? StorageBackend::RawDisk
                                                                        : StorageBackend::Container;

    const QJsonObject claim = object.value(kRawDiskClaim).toObject();
    config->rawDiskClaim.diskNumber = diskNumberField(claim);
    config->rawDiskClaim.claimedStartOffset =
        decimalField<quint64>(claim, kClaimedStartOffset, &ok);
    config->rawDiskClaim.claimedLength = decimalField<quint64>(claim, kClaimedLength, &ok);
    config->rawDiskClaim.sectorSize = decimalField<quint32>(claim, kSectorSize, &ok);
    config->rawDiskClaim.diskSerialHash =
        QByteArray::fromBase64(claim.value(kDiskSerialHash).toString().toLatin1());

    const QJsonObject container = object.value(kContainer).toObject();
    config->container.overrideDirectory = container.value(kOverrideDirectory).toString();
    config->container.overrideFileName = container.value(kOverrideFileName).toString();
    config->container.hidden = container.value(kHidden).toBool(false);
    config->container.deleteRestricted = container.value(kDeleteRestricted).toBool(false);
    config->container.pendingMigrateFromPath = container.value(kPendingMigrateFromPath).toString();
    config->container.pendingMigrateAttempts = intField(container, kPendingMigrateAttempts);

    const qint64 maxBytes = decimalField<qint64>(object, kMaxVaultSizeBytes, &ok);
    config->maxVaultSizeBytes = maxBytes < 1 ? 0 : maxBytes;
    config->pendingDeletePath = object.value(kPendingDeletePath).toString();
    config->pendingDeleteAttempts = intField(object, kPendingDeleteAttempts);
    config->pendingDeleteRawDisk = object.value(kPendingDeleteRawDisk).toBool(false);
    config->boundVaultId = object.value(kBoundVaultId).toString();
    config->boundVaultIdRecorded = object.value(kBoundVaultIdRecorded).toBool(false);

    // A raw-disk record is useless without the region it claims.
    if (config->backend == StorageBackend::RawDisk && claim.isEmpty())
        ok = false;
    return ok;
}

crypto::Bytes bindingData(const QString& text, quint64 number) {
    const QByteArray utf8 = text.toUtf8();
    crypto::Bytes data(utf8.cbegin(), utf8.cend());
    for (int i = 0; i < 8; ++i)
        data.push_back(std::uint8_t(number >> (8 * i)));
    return data;
}

// What load filled, even when it failed part-way.
StorageConfig filled(const StorageConfigFile& file) {
    StorageConfig config;
    file.load(&config);
    return config;
}

bool fileExists(const QString& path) {
    const QFileInfo info(path);
    // A dangling link still names something a save would have to replace.
    return info.exists() || info.isSymLink();
}

} // namespace

StorageConfigFile::StorageConfigFile(const QString& path, const QString& bindingText,
                                     quint64 bindingNumber)
    : path_(path), bindingText_(bindingText), bindingNumber_(bindingNumber) {}

crypto::Bytes StorageConfigFile::associatedData() const {
    return bindingData(bindingText_, bindingNumber_);
}

bool StorageConfigFile::load(StorageConfig* config) const {
    *config = StorageConfig{};
    // Encrypted under the binding first; the earlier authenticated form (same key, no binding)
    // is accepted as a fallback. The key is only ever loaded here, never created.
    const protect::ProtectedReadResult read =
        protect::readProtectedFile(path_, protect::EnvelopeKind::Encrypted, associatedData());
    if (!read.ok())
        return false;
    return fromJson(read.object, config);
}

bool StorageConfigFile::save(const StorageConfig& config) const {
    return protect::writeProtectedFile(path_, toJson(config), protect::EnvelopeKind::Encrypted,
                                       associatedData());
}

bool StorageConfigFile::isUnreadable() const {
    StorageConfig config;
    return fileExists(path_) && !load(&config);
}

StorageBackend StorageConfigFile::backend() const {
    StorageConfig config;
    return load(&config) ? config.backend : StorageBackend::Container;
}

RawDiskClaim StorageConfigFile::rawDiskClaim() const {
    return filled(*this).rawDiskClaim;
}

ContainerSettings StorageConfigFile::containerSettings() const {
    return filled(*this).container;
}

qint64 StorageConfigFile::maxVaultSizeBytes() const {
    return filled(*this).maxVaultSizeBytes;
}

QString StorageConfigFile::pendingDeletePath() const {
    return filled(*this).pendingDeletePath;
}

int StorageConfigFile::pendingDeleteAttempts() const {
    return filled(*this).pendingDeleteAttempts;
}

bool StorageConfigFile::pendingDeleteRawDisk() const {
    return filled(*this).pendingDeleteRawDisk;
}

QString StorageConfigFile::boundVaultId() const {
    return filled(*this).boundVaultId;
}

bool StorageConfigFile::boundVaultIdRecorded() const {
    return filled(*this).boundVaultIdRecorded;
}

namespace {

// The record a setter starts from: the file as it loads, or the defaults when there is no file
// yet. Nothing when the file exists but does not load: replacing it would silently swap a
// damaged (or foreign) configuration for defaults.
std::optional<StorageConfig> startingPoint(const StorageConfigFile& file) {
    StorageConfig config;
    if (file.load(&config))
        return config;
    if (fileExists(file.path()))
        return std::nullopt;
    return StorageConfig{};
}

template <typename Change> bool update(const StorageConfigFile& file, Change change) {
    std::optional<StorageConfig> config = startingPoint(file);
    if (!config)
        return false;
    change(*config);
    return file.save(*config);
}

} // namespace

bool StorageConfigFile::setRawDiskClaim(const RawDiskClaim& claim) {
    return update(*this, [&](StorageConfig& config) {
        config.backend = StorageBackend::RawDisk;
        config.rawDiskClaim = claim;
    });
}

bool StorageConfigFile::switchToContainer() {
    return update(*this, [](StorageConfig& config) {
        config.backend = StorageBackend::Container;
        config.rawDiskClaim = RawDiskClaim{}; // sector size back to 512, the rest zero or empty
    });
}

bool StorageConfigFile::setContainerSettings(const ContainerSettings& settings) {
    if (!settings.overrideDirectory.isEmpty() &&
        !isValidOverrideDirectory(settings.overrideDirectory))
        return false;
    if (!settings.overrideFileName.isEmpty() && !isValidOverrideFileName(settings.overrideFileName))
        return false;
    return update(*this, [&](StorageConfig& config) { config.container = settings; });
}

bool StorageConfigFile::setMaxVaultSizeBytes(qint64 bytes) {
    return update(*this, [&](StorageConfig& config) { config.maxVaultSizeBytes = bytes; });
}

bool StorageConfigFile::setPendingDeletePath(const QString& path) {
    return update(*this, [&](StorageConfig& config) { config.pendingDeletePath = path; });
}

bool StorageConfigFile::setPendingDeleteAttempts(int attempts) {
    return update(*this, [&](StorageConfig& config) { config.pendingDeleteAttempts = attempts; });
}

bool StorageConfigFile::setPendingDeleteRawDisk(bool pending) {
    return update(*this, [&](StorageConfig& config) { config.pendingDeleteRawDisk = pending; });
}

bool StorageConfigFile::setBoundVaultId(const QString& vaultId) {
    return update(*this, [&](StorageConfig& config) {
        config.boundVaultId = vaultId;
        config.boundVaultIdRecorded = true;
    });
}

bool StorageConfigFile::setBinding(const QString& bindingText, quint64 bindingNumber) {
    // Read under the binding the file was written with, write under the new one. The handle
    // moves to the new binding only once the file is there: after a failed save it keeps
    // reading the file that is actually on disk.
    const std::optional<StorageConfig> config = startingPoint(*this);
    if (!config)
        return false;
    if (!StorageConfigFile(path_, bindingText, bindingNumber).save(*config))
        return false;
    bindingText_ = bindingText;
    bindingNumber_ = bindingNumber;
    return true;
}

bool StorageConfigFile::recoverBinding(const QList<quint64>& earlierNumbers) {
    StorageConfig config;
    for (const quint64 number : earlierNumbers) {
        if (number == bindingNumber_)
            continue;
        const StorageConfigFile earlier(path_, bindingText_, number);
        if (!earlier.load(&config))
            continue;
        qWarning("StorageConfigFile: storage.dat was still bound to generation %llu; rebinding it "
                 "to %llu.",
                 static_cast<unsigned long long>(number),
                 static_cast<unsigned long long>(bindingNumber_));
        if (!save(config))
            bindingNumber_ = number;
        return true;
    }
    return false;
}

QString StorageConfigFile::resolveVaultPath(const QString& defaultDirectory) const {
    StorageConfig config;
    load(&config); // defaults apply wherever nothing was read
    return resolveVaultPath(config.container, defaultDirectory);
}

QString StorageConfigFile::resolveVaultPath(const ContainerSettings& container,
                                            const QString& defaultDirectory) {
    QString folder = defaultDirectory;
    if (!container.overrideDirectory.isEmpty() &&
        isValidOverrideDirectory(container.overrideDirectory))
        folder = QDir::cleanPath(container.overrideDirectory);
    const QString name =
        !container.overrideFileName.isEmpty() && isValidOverrideFileName(container.overrideFileName)
            ? container.overrideFileName
            : QString::fromLatin1(kDefaultVaultFileName);
    // An override of "/" (or one with a trailing separator) must not produce "//name", which
    // would read as a network path.
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

void StorageConfigFile::setContainerLocation(ContainerSettings& settings, const QString& folder,
                                             const QString& fileName,
                                             const QString& defaultDirectory) {
    settings.overrideDirectory =
        QDir::cleanPath(folder) == QDir::cleanPath(defaultDirectory) ? QString() : folder;
    settings.overrideFileName =
        fileName == QLatin1String(kDefaultVaultFileName) ? QString() : fileName;
}

QString currentContainerPath(const ContainerSettings& settings, const QString& defaultDirectory) {
    if (!settings.pendingMigrateFromPath.isEmpty()) {
        const QString source =
            vault::VaultContainer::resolveVaultFilePath(settings.pendingMigrateFromPath);
        if (!source.isEmpty())
            return source;
    }
    return StorageConfigFile::resolveVaultPath(settings, defaultDirectory);
}

QString containerVaultInDataFolder(const ContainerSettings& settings, const QString& dataFolder) {
    const QString vaultFile =
        vault::VaultContainer::resolveVaultFilePath(currentContainerPath(settings, dataFolder));
    const QString folder = QFileInfo(dataFolder).canonicalFilePath();
    if (vaultFile.isEmpty() || folder.isEmpty() || !vaultFile.startsWith(folder + QLatin1Char('/')))
        return QString();
    return vaultFile;
}

bool rebindToRollbackRecord(StorageConfigFile& storage, const QString& recordPath) {
    const quint64 highest = protect::highestGeneration(recordPath);
    if (!storage.setBinding(storage.bindingText(), highest))
        return false;
    if (!protect::confirmStorageBinding(recordPath, highest))
        qWarning("rebindToRollbackRecord: storage.dat is rebound, but the rollback record could "
                 "not be updated to say so; it keeps accepting the earlier binding for now.");
    return true;
}

StorageConfigFile openStorageConfig(const QString& path, const QString& machineId,
                                    const QString& recordPath, bool* unreadable) {
    const QList<quint64> candidates = protect::storageBindingCandidates(recordPath);
    StorageConfigFile storage(path, machineId, candidates.value(0));
    const bool readable = !storage.isUnreadable() || storage.recoverBinding(candidates.mid(1));
    if (unreadable)
        *unreadable = !readable;
    // storage.dat is (now) written under the highest generation: the earlier values the record
    // kept for it can go.
    if (readable && candidates.size() > 1 && storage.bindingNumber() == candidates.value(0) &&
        !protect::confirmStorageBinding(recordPath, storage.bindingNumber()))
        qWarning("openStorageConfig: the rollback record could not be updated after rebinding "
                 "storage.dat.");
    return storage;
}

bool StorageConfigFile::isValidOverrideDirectory(const QString& directory) {
    if (directory.isEmpty())
        return false;
    // Network paths, in either spelling.
    if (directory.startsWith(QStringLiteral("\\\\")) || directory.startsWith(QStringLiteral("//")))
        return false;
    // Cleaning resolves "a/../b" to "b", so a ".." that cleaning would swallow is looked for in
    // the text as given as well. Backslashes count as separators here too.
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QString cleaned = QDir::cleanPath(directory);
    for (const QString& path : {directory, cleaned}) {
        if (path.split(separators).contains(QStringLiteral("..")))
            return false;
    }
    return QDir::isAbsolutePath(cleaned);
}

bool StorageConfigFile::isValidOverrideFileName(const QString& fileName) {
    return !fileName.isEmpty() && fileName != QStringLiteral(".") &&
           fileName != QStringLiteral("..") && !fileName.contains(QLatin1Char('/')) &&
           !fileName.contains(QLatin1Char('\\'));
}

} // namespace korvex::core
