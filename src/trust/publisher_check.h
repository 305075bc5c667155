#pragma once

// 1 when the file carries an Authenticode signature whose signer's display
// name is an accepted publisher (or the system is older than major version
// 6); 0 otherwise. Null or missing paths give 0.
int VerifyPublisherSignature(const wchar_t* path);

// 1 when `name` equals an accepted publisher name exactly, 0 otherwise.
int IsAcceptedSignerName(const wchar_t* name);
