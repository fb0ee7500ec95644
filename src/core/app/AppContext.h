#pragma once

class ManagedObjectContext;

// The program's one context: the application delegate's. Never null.
ManagedObjectContext *appManagedObjectContext();

// Saves the program's context when it has changes. True when nothing is left unsaved: a failed
// save is logged, its changes stay pending and go with the next save, and the caller must not
// confirm anything that depended on it.
bool saveContextIfChanged();

// Whether what is saved outlives the run. False when the store could not be opened and the run
// goes on in memory: nothing received can be kept for good then.
bool storeKeepsChanges();
// Tests that run on a store in memory on purpose (fuzzing) count it as one that keeps changes.
void setStoreKeepsChangesInMemory(bool keeps);

// Tells the user, once for each context, that received messages cannot be stored and stay with
// their senders.
void reportNothingCanBeStored();

// Tells the user when a message just sent could not be stored (`stored` false): it still goes out
// while the program runs, but what nobody has taken is lost if it quits before a save works
// again. Once until a sent message is stored again.
void reportSentMessageStored(bool stored);
