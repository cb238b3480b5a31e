#pragma once
// Planning the pending changes and staging them in the transaction.
class InstallContext;
class FsTransaction;

// Plans and stages the changes; true when the plan was accepted and changes
// at least one package. With verbosity 0 neither the plan nor its steps report.
bool applyPlan(InstallContext& context, FsTransaction& transaction, int verbosity);
