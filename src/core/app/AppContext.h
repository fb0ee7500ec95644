#pragma once

class ManagedObjectContext;

// The program's one context: the application delegate's. Never null.
ManagedObjectContext *appManagedObjectContext();

// Saves the program's context when it has changes. A failed save is logged and otherwise
// ignored: the changes stay pending and go with the next save.
void saveContextIfChanged();
