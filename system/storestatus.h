#ifndef STORESTATUS_H
#define STORESTATUS_H

class QSettings;

// Emits two critical messages when the store's last access failed (the file
// name, then what went wrong); nothing when it succeeded.
void reportStoreStatus(const QSettings &store);

#endif // STORESTATUS_H
